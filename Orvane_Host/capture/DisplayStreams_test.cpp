#include "Orvane_Host/capture/DisplayStreams.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <future>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/testing/TestRuntime.h"
#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/testing/FakeEncoderBackend.h"
#include "Orvane_Host/capture/testing/FakeScreenSource.h"
#include "Orvane_Host/capture/testing/FakeSystemAudioSource.h"
#include "Orvane_Host/capture/testing/FakeVideoTarget.h"

namespace orvane {
namespace {

using testing::FakeVideoTarget;

// The fake platform, with a gate that holds capture starts until the test opens it.
class GatedScreens final : public ScreenSource {
public:
    explicit GatedScreens(std::shared_ptr<FakeScreenSource> inner) : inner_(std::move(inner)) {}
    std::vector<CaptureDisplay> displays() override { return inner_->displays(); }
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& d, const StreamConfig& c,
                                              StreamSink sink) override {
        std::shared_future<void> gate;
        {
            std::lock_guard g(mutex_);
            gate = gate_;
            ++entered_;
        }
        if (gate.valid()) gate.wait();
        return inner_->startStream(d, c, std::move(sink));
    }
    bool canExcludeWindows() const override { return false; }

    void close() {
        std::lock_guard g(mutex_);
        open_ = {};
        gate_ = open_.get_future().share();
    }
    void open() {
        std::lock_guard g(mutex_);
        open_.set_value();
        gate_ = {};
    }
    int entered() const {
        std::lock_guard g(mutex_);
        return entered_;
    }

private:
    std::shared_ptr<FakeScreenSource> inner_;
    mutable std::mutex mutex_;
    std::promise<void> open_;
    std::shared_future<void> gate_;
    int entered_ = 0;
};

CaptureDisplay display(uint32_t id) {
    return {id, "Display " + std::to_string(id), (id - 1) * 64.0, 0, 64, 36, 1, id == 1};
}

class DisplayStreamsTest : public ::testing::Test {
protected:
    TestRuntime rt;
    asio::thread_pool work{1};
    NetContext net{2};
    std::shared_ptr<FakeScreenSource> screens = std::make_shared<FakeScreenSource>(
        std::vector<CaptureDisplay>{display(1), display(2), display(3)});
    std::shared_ptr<GatedScreens> gated = std::make_shared<GatedScreens>(screens);
    std::shared_ptr<FakeEncoderBackend> encoders = std::make_shared<FakeEncoderBackend>();
    std::shared_ptr<testing::FakeSystemAudioSource> sound =
        std::make_shared<testing::FakeSystemAudioSource>();
    std::unique_ptr<DisplayStreams> streams;
    std::vector<std::optional<std::string>> stops;

    void SetUp() override { make(); }
    void TearDown() override {
        if (streams) run(streams->stop());
        streams.reset();
        work.join();
    }

    void make(std::function<std::unique_ptr<AudioEncoder>()> audioEncoder =
                  VideoPipeline::defaultAudioEncoder) {
        DisplayStreams::Parts parts;
        parts.pipeline.screens = gated;
        parts.pipeline.encoders = encoders;
        parts.pipeline.sound = sound;
        parts.pipeline.clock = &rt.clock;
        parts.pipeline.net = &net;
        parts.pipeline.makeAudioEncoder = std::move(audioEncoder);
        parts.mainActor = rt.io.get_executor();
        parts.work = work.get_executor();
        streams = std::make_unique<DisplayStreams>(std::move(parts), 8'000'000);
        streams->setOnStop([this](std::optional<std::string> e) { stops.push_back(e); });
    }

    // Starts a call on the main actor; `finished` tells when it ended, `error` how.
    struct Call {
        std::shared_ptr<bool> finished = std::make_shared<bool>(false);
        std::shared_ptr<std::string> error = std::make_shared<std::string>();
    };
    Call spawn(asio::awaitable<void> call) {
        Call c;
        asio::co_spawn(rt.io, std::move(call), [c](std::exception_ptr e) {
            *c.finished = true;
            if (!e) return;
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                *c.error = x.what();
            }
        });
        return c;
    }
    void runUntil(const std::function<bool()>& done) {
        // Work on other threads posts back later: an empty loop waits a little, up to 10 s.
        for (int i = 0; i < 5000 && !done(); ++i) {
            rt.io.restart();
            if (rt.io.run_for(std::chrono::milliseconds(2)) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_TRUE(done());
    }
    // Runs one call to its end; returns its error text, empty on success.
    std::string run(asio::awaitable<void> call) {
        Call c = spawn(std::move(call));
        runUntil([&] { return *c.finished; });
        return *c.error;
    }
    std::string start(std::set<uint32_t> ids, IDisplayStreams::Targets targets = {},
                      bool withSound = true, bool rebuild = false) {
        return run(streams->start(std::move(ids), std::move(targets), 3840, withSound, rebuild));
    }
    std::set<uint32_t> streamed() const {
        std::set<uint32_t> out;
        for (uint32_t id : {1u, 2u, 3u})
            if (streams->hasPipeline(id)) out.insert(id);
        return out;
    }
};

TEST_F(DisplayStreamsTest, StartGivesEachDisplayItsViewersAndSoundToTheFirstOnly) {
    auto a = std::make_shared<FakeVideoTarget>(1);
    auto b = std::make_shared<FakeVideoTarget>(2);
    auto c = std::make_shared<FakeVideoTarget>(1);
    ASSERT_EQ(start({1, 2}, {a, b, c}), "");
    EXPECT_EQ(streamed(), (std::set<uint32_t>{1, 2}));
    EXPECT_EQ(streams->pipeline(1)->targets(), (IDisplayStreams::Targets{a, c}));
    EXPECT_EQ(streams->pipeline(2)->targets(), (IDisplayStreams::Targets{b}));
    EXPECT_EQ(streams->audioDisplay(), 1u);
    EXPECT_EQ(sound->startCount(), 1);
    ASSERT_TRUE(streams->audioFormat());
    EXPECT_EQ(streams->audioFormat()->sampleRate, 48'000);

    // A viewer moves to display 2: reassigning is enough, nothing restarts.
    c->setDisplay(2);
    const size_t captures = screens->streamCount();
    ASSERT_EQ(start({1, 2}, {a, b, c}), "");
    EXPECT_EQ(screens->streamCount(), captures);
    EXPECT_EQ(streams->pipeline(2)->targets(), (IDisplayStreams::Targets{b, c}));

    // Unknown displays are ignored by the per-display requests.
    streams->requestKeyframe(9);
    streams->sendKeyframeNow(9);
    EXPECT_FALSE(streams->lastFrame(9));

    ASSERT_EQ(start({}, {a, b, c}), "");
    EXPECT_FALSE(streams->hasPipelines());
    EXPECT_FALSE(streams->audioDisplay());
    EXPECT_FALSE(streams->audioFormat());
    EXPECT_EQ(screens->runningCount(), 0u);
}

TEST_F(DisplayStreamsTest, SoundMovesToARunningDisplayWhenNoneCarriesIt) {
    ASSERT_EQ(start({1, 2}, {}, false), "");
    EXPECT_FALSE(streams->audioDisplay());
    const size_t captures = screens->streamCount();

    ASSERT_EQ(start({1, 2}, {}, true), "");
    EXPECT_EQ(streams->audioDisplay(), 1u);
    EXPECT_EQ(screens->streamCount(), captures + 1);  // display 1 rebuilt with sound
    EXPECT_EQ(streamed(), (std::set<uint32_t>{1, 2}));

    // Dropping the display with sound clears it; the next start with sound moves it.
    ASSERT_EQ(start({2}, {}, false), "");
    EXPECT_FALSE(streams->audioDisplay());
    ASSERT_EQ(start({2}, {}, true), "");
    EXPECT_EQ(streams->audioDisplay(), 2u);
    EXPECT_EQ(screens->runningCount(), 1u);
}

TEST_F(DisplayStreamsTest, SoundKnownUnavailableNeverRebuildsAStream) {
    struct Case {
        const char* name;
        bool failSoundStart;  // else: no audio encoder at all
        const char* problem;
    };
    for (const Case c :
         {Case{"sound server refuses", true, "Connection refused"},
          Case{"no sound encoder", false, "Sound cannot be captured on this system."}}) {
        SCOPED_TRACE(c.name);
        if (c.failSoundStart) {
            sound->failNextStart(PlatformError("pulse", 1, "Connection refused"));
        } else {
            run(streams->stop());
            make([] { return std::unique_ptr<AudioEncoder>(); });
        }
        auto logs = std::make_shared<MemoryLogSink>();
        Log::addSink(logs);
        ASSERT_EQ(start({1}, {}, true, true), "");  // the picture streams all the same
        Log::removeSink(logs);
        EXPECT_TRUE(streams->hasPipeline(1));
        EXPECT_FALSE(streams->audioDisplay());
        EXPECT_EQ(streams->soundProblem(), c.problem);
        EXPECT_TRUE(logs->contains("sound cannot be captured"));

        // Each admission starts again with sound on: no capture is torn down for it.
        const size_t captures = screens->streamCount();
        ASSERT_EQ(start({1}, {}, true), "");
        ASSERT_EQ(start({1}, {}, true), "");
        EXPECT_EQ(screens->streamCount(), captures);
        EXPECT_EQ(streams->soundProblem(), c.problem);

        if (c.failSoundStart) {
            // A rebuild tries sound again; the server answers now.
            ASSERT_EQ(start({1}, {}, true, true), "");
            EXPECT_EQ(streams->audioDisplay(), 1u);
            EXPECT_FALSE(streams->soundProblem());
        }
    }
}

TEST_F(DisplayStreamsTest, FailedCaptureKeepsEarlierPipelinesWithTheirViewers) {
    screens->failDisplay(2, PlatformError("X11", 6, "Cannot read the screen."));
    auto a = std::make_shared<FakeVideoTarget>(1);
    auto b = std::make_shared<FakeVideoTarget>(2);
    EXPECT_EQ(start({1, 2, 3}, {a, b}), "Cannot read the screen.");
    EXPECT_EQ(streamed(), (std::set<uint32_t>{1}));
    EXPECT_EQ(streams->pipeline(1)->targets(), (IDisplayStreams::Targets{a}));
    EXPECT_EQ(screens->runningCount(), 1u);

    // A display that is not connected gets no pipeline and no error.
    screens->failDisplay(2, std::nullopt);
    ASSERT_EQ(start({1, 2, 7}, {a, b}), "");
    EXPECT_EQ(streamed(), (std::set<uint32_t>{1, 2}));
}

TEST_F(DisplayStreamsTest, CaptureEndedByThePlatformIsReportedAndRebuiltOnTheNextStart) {
    auto a = std::make_shared<FakeVideoTarget>(1);
    ASSERT_EQ(start({1}, {a}), "");
    const size_t captures = screens->streamCount();
    screens->stopWithError(PlatformError("X11", 4, "The display was disconnected."));
    runUntil([&] { return !stops.empty(); });
    EXPECT_EQ(stops[0], "The display was disconnected.");
    EXPECT_FALSE(streams->hasPipeline(1));
    EXPECT_FALSE(streams->hasPipelines());

    // A plain start (a viewer admitted) brings it back.
    ASSERT_EQ(start({1}, {a}), "");
    EXPECT_TRUE(streams->hasPipeline(1));
    EXPECT_EQ(screens->streamCount(), captures + 1);
    EXPECT_EQ(streams->pipeline(1)->targets(), (IDisplayStreams::Targets{a}));
}

TEST_F(DisplayStreamsTest, StartsAndStopsNeverOverlap) {
    gated->close();
    Call first = spawn(streams->start({1}, {}, 3840, false, false));
    runUntil([&] { return gated->entered() == 1; });
    // A stop and another start arrive while the first start waits on the platform.
    Call stop = spawn(streams->stop());
    Call second = spawn(streams->start({2}, {}, 3840, false, false));
    for (int i = 0; i < 20; ++i) {
        rt.io.restart();
        rt.io.run_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(*stop.finished);
    EXPECT_EQ(gated->entered(), 1);  // the second start has not begun
    gated->open();
    runUntil([&] { return *first.finished && *stop.finished && *second.finished; });
    // In order: display 1 started, then everything stopped, then display 2 started.
    EXPECT_EQ(streamed(), (std::set<uint32_t>{2}));
    EXPECT_EQ(screens->runningCount(), 1u);  // no capture left running outside the table
    EXPECT_EQ(screens->stream().display.id, 2u);
}

TEST_F(DisplayStreamsTest, SettingsReachRunningAndLaterPipelines) {
    ASSERT_EQ(start({1}, {}, false), "");
    streams->storeCodec(VideoCodec::hevc, false);  // not applied to what runs
    streams->setBitrate(4'000'000, 120);
    ASSERT_EQ(start({1, 2}, {}, false), "");
    auto drain = [](VideoPipeline& p) {
        std::promise<void> done;
        asio::post(p.queue(), [&] { done.set_value(); });
        done.get_future().wait();
    };
    drain(*streams->pipeline(1));
    drain(*streams->pipeline(2));
    EXPECT_EQ(screens->stream(0).format, PixelFormat::nv12);
    EXPECT_EQ(screens->stream(0).config.fps, 60);   // the running capture keeps its pace
    EXPECT_EQ(screens->stream(1).config.fps, 120);  // a new one takes the stored rate
    EXPECT_EQ(screens->stream(1).format, PixelFormat::i420);
    EXPECT_EQ(streams->pipeline(1)->currentBitrate(), 4'000'000);
    EXPECT_EQ(streams->pipeline(2)->targetBitrate(), 4'000'000);

    streams->setCodec(VideoCodec::hevc, false);  // now in place, for the first one too
    drain(*streams->pipeline(1));
    EXPECT_EQ(screens->stream(0).format, PixelFormat::i420);
}

}  // namespace
}  // namespace orvane
