#include "OrvaneKit/net/ConnState.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace orvane {
namespace {

TEST(ConnState, OnlyWaitingOrFailedWithATlsErrorIsATlsFailure) {
    const NetError tls = tlsError(20, "decryption failed or bad record mac");
    const NetError reset = posixError(ECONNRESET);
    const NetError dns = NetError{NetError::Kind::dns, -2, "not found"};
    const std::pair<ConnState, bool> cases[] = {
        {conn::Waiting{tls}, true},    {conn::Failed{tls}, true},  {conn::Failed{reset}, false},
        {conn::Waiting{reset}, false}, {conn::Failed{dns}, false}, {conn::Ready{}, false},
        {conn::Cancelled{}, false},    {conn::Preparing{}, false}, {conn::Setup{}, false},
    };
    for (const auto& [state, expected] : cases)
        EXPECT_EQ(isTlsFailure(state), expected) << describe(state);
}

TEST(ConnState, DescriptionsNameStateKindAndCode) {
    EXPECT_EQ(describe(ConnState(conn::Failed{tlsError(20, "bad record mac")})),
              "failed(tls 20: bad record mac)");
    EXPECT_EQ(describe(ConnState(conn::Cancelled{})), "cancelled");
    EXPECT_EQ(posixError(ECONNREFUSED).kind, NetError::Kind::posix);
    EXPECT_FALSE(posixError(ECONNREFUSED).text.empty());
}

}  // namespace
}  // namespace orvane
