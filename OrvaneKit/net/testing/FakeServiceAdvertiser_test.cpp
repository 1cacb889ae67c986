#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane {
namespace {

using State = ServiceAdvertiser::State;
using Phase = State::Phase;
using Reg = FakeServiceAdvertiser::Registration;

struct Recorder {
    explicit Recorder(ServiceAdvertiser& a)
        : c(a.stateChanged.connect([this](const State& s) { states.push_back(s); })) {}
    std::vector<State> states;
    SignalConnection c;
};

TEST(FakeServiceAdvertiser, SameServiceAgainKeepsTheRegistrationAndAChangeRegistersAnew) {
    FakeServiceAdvertiser fake;
    std::vector<std::string> shared;
    fake.onCall = [&](const std::string& c) { shared.push_back(c); };
    Recorder rec(fake);

    fake.advertise("Ann's Mac", "_kelsap._tcp", 5895);
    fake.advertise("Ann's Mac", "_kelsap._tcp", 5895);
    EXPECT_EQ(fake.registrations(), 1);
    EXPECT_EQ(rec.states, (std::vector<State>{{Phase::registered, "Ann's Mac", ""}}));

    fake.advertise("Ann's Mac", "_kelsap._tcp", 5896);
    fake.advertise("Bob's Mac", "_kelsap._tcp", 5896);
    EXPECT_EQ(fake.registrations(), 3);
    EXPECT_EQ(fake.published(), (Reg{"Bob's Mac", "_kelsap._tcp", 5896}));

    fake.withdraw();
    EXPECT_EQ(fake.published(), std::nullopt);
    EXPECT_EQ(rec.states.back(), State{});
    EXPECT_EQ(shared,
              (std::vector<std::string>{"advertise Ann's Mac _kelsap._tcp 5895",
                                        "advertise Ann's Mac _kelsap._tcp 5895",
                                        "advertise Ann's Mac _kelsap._tcp 5896",
                                        "advertise Bob's Mac _kelsap._tcp 5896", "withdraw"}));
    EXPECT_EQ(fake.calls(), shared);
}

TEST(FakeServiceAdvertiser, TakenNamesAreRenamedLikeTheDaemonDoes) {
    struct Case {
        std::string in, out;
    } names[] = {{"Mac", "Mac #2"},     {"Mac #2", "Mac #3"},    {"Mac #9", "Mac #10"},
                 {"Mac #", "Mac # #2"}, {"Mac #x", "Mac #x #2"}, {"Room 4 #1a", "Room 4 #1a #2"}};
    for (auto& c : names) EXPECT_EQ(FakeServiceAdvertiser::alternativeName(c.in), c.out);

    FakeServiceAdvertiser fake;
    fake.takeName("Ann's Mac");
    fake.takeName("Ann's Mac #2");
    fake.advertise("Ann's Mac", "_kelsap._tcp", 5895);
    EXPECT_EQ(fake.state(), (State{Phase::registered, "Ann's Mac #3", ""}));
    EXPECT_EQ(fake.published()->name, "Ann's Mac #3");
}

TEST(FakeServiceAdvertiser, WithoutADaemonTheWishWaitsAndIsRegisteredWhenItStarts) {
    FakeServiceAdvertiser fake;
    Recorder rec(fake);
    fake.setDaemonRunning(false);
    fake.advertise("Ann's Mac", "_kelsap._tcp", 5895);
    EXPECT_EQ(fake.state().phase, Phase::waitingForDaemon);
    EXPECT_EQ(fake.published(), std::nullopt);

    fake.setEstablishAtOnce(false);
    fake.setDaemonRunning(true);
    EXPECT_EQ(fake.state().phase, Phase::registering);
    fake.establish();
    EXPECT_EQ(fake.published(), (Reg{"Ann's Mac", "_kelsap._tcp", 5895}));

    fake.failRegistration("Not permitted");
    EXPECT_EQ(fake.state(), (State{Phase::failed, "Ann's Mac", "Not permitted"}));
    std::vector<Phase> phases;
    for (auto& s : rec.states) phases.push_back(s.phase);
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::waitingForDaemon, Phase::registering,
                                          Phase::registered, Phase::failed}));

    // After a refusal, asking again for the same service is a retry.
    fake.setEstablishAtOnce(true);
    fake.advertise("Ann's Mac", "_kelsap._tcp", 5895);
    EXPECT_EQ(fake.state(), (State{Phase::registered, "Ann's Mac", ""}));
    EXPECT_EQ(fake.registrations(), 2);
}

}  // namespace
}  // namespace orvane
