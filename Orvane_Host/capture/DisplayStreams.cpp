#include "Orvane_Host/capture/DisplayStreams.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <type_traits>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "video"};
    return log;
}

// A coroutine's parameters live in its frame; a lambda's captures would not outlive the
// lambda object, which co_spawn drops before the body runs.
template <class F>
asio::awaitable<std::invoke_result_t<F>> invoke(F fn) {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
        fn();
        co_return;
    } else {
        co_return fn();
    }
}

// Runs blocking work on `work` and resumes the caller on its own executor with the result or
// the exception.
// (Callers name the returned awaitable before awaiting it: GCC 12 destroys temporaries of a
// co_await expression twice.)
template <class F>
asio::awaitable<std::invoke_result_t<F>> offload(asio::any_io_executor work, F fn) {
    auto job = invoke(std::move(fn));
    co_return co_await asio::co_spawn(work, std::move(job), asio::use_awaitable);
}

}  // namespace

// Holds the turn for one start or stop; gives it to the next waiter when it goes, also when
// the call ends by throwing.
class DisplayStreams::Turn {
public:
    explicit Turn(DisplayStreams& owner) : owner_(owner) {}
    ~Turn() { owner_.endTurn(); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    DisplayStreams& owner_;
};

DisplayStreams::DisplayStreams(Parts parts, std::int64_t bitrate)
    : parts_(std::move(parts)), bitrate_(bitrate) {}

DisplayStreams::~DisplayStreams() {
    *alive_ = false;
    for (auto& [id, pipeline] : pipelines_) pipeline->stop();
}

asio::awaitable<void> DisplayStreams::waitForTurn() {
    if (!busy_) {
        busy_ = true;
        co_return;
    }
    auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor,
                                                      asio::steady_timer::time_point::max());
    waiters_.push_back(timer);
    asio::error_code ignored;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    // Handed over by endTurn: busy_ stayed set for us.
}

void DisplayStreams::endTurn() {
    if (waiters_.empty()) {
        busy_ = false;
        return;
    }
    auto next = waiters_.front();
    waiters_.pop_front();
    next->cancel();
}

void DisplayStreams::setOnStop(StopHandler handler) {
    onStop_ = std::move(handler);
}

std::shared_ptr<VideoPipeline> DisplayStreams::pipeline(std::uint32_t displayID) const {
    auto it = pipelines_.find(displayID);
    return it == pipelines_.end() ? nullptr : it->second;
}

std::shared_ptr<VideoPipeline> DisplayStreams::live(std::uint32_t displayID) const {
    auto p = pipeline(displayID);
    return p && !p->isDead() ? p : nullptr;
}

void DisplayStreams::assignTargets(const Targets& targets) {
    for (auto& [id, pipeline] : pipelines_) {
        Targets mine;
        for (const auto& t : targets)
            if (t && t->displayID() == id) mine.push_back(t);
        pipeline->setTargets(std::move(mine));
    }
}

void DisplayStreams::setBitrate(std::int64_t bitsPerSecond, int framesPerSecond) {
    bitrate_ = bitsPerSecond;
    fps_ = framesPerSecond;
    // A new session at the new rate; the capture keeps its pace until its next start.
    for (auto& [id, pipeline] : pipelines_)
        pipeline->setTargetBitrate(bitsPerSecond, framesPerSecond);
}

void DisplayStreams::setCodec(VideoCodec codec, bool hdr) {
    storeCodec(codec, hdr);
    for (auto& [id, pipeline] : pipelines_) pipeline->setCodec(codec, bitrate_, hdr);
}

void DisplayStreams::storeCodec(VideoCodec codec, bool hdr) {
    codec_ = codec;
    hdr_ = hdr;
}

bool DisplayStreams::hasPipelines() const {
    for (const auto& [id, pipeline] : pipelines_)
        if (!pipeline->isDead()) return true;
    return false;
}

bool DisplayStreams::hasPipeline(std::uint32_t displayID) const {
    return live(displayID) != nullptr;
}

void DisplayStreams::requestKeyframe(std::uint32_t displayID) {
    if (auto p = pipeline(displayID)) p->requestKeyframe();
}

void DisplayStreams::sendKeyframeNow(std::uint32_t displayID) {
    if (auto p = pipeline(displayID)) p->sendKeyframeNow();
}

std::shared_ptr<const FrameBuffer> DisplayStreams::lastFrame(std::uint32_t displayID) const {
    auto p = pipeline(displayID);
    return p ? p->lastFrame() : nullptr;
}

std::optional<AudioStreamFormat> DisplayStreams::audioFormat() const {
    if (audioDisplay_)
        if (auto p = pipeline(*audioDisplay_); p && p->audioFormat()) return p->audioFormat();
    if (!pipelines_.empty()) return pipelines_.begin()->second->audioFormat();
    return std::nullopt;
}

asio::awaitable<void> DisplayStreams::stopPipeline(std::shared_ptr<VideoPipeline> pipeline) {
    auto job = offload(parts_.work, [pipeline] { pipeline->stop(); });
    co_await std::move(job);
}

asio::awaitable<void> DisplayStreams::stopAll() {
    auto running = pipelines_;
    for (auto& [id, pipeline] : running) co_await stopPipeline(pipeline);
    pipelines_.clear();
    audioDisplay_.reset();
}

asio::awaitable<void> DisplayStreams::stop() {
    co_await waitForTurn();
    Turn turn(*this);
    co_await stopAll();
}

asio::awaitable<void> DisplayStreams::start(std::set<std::uint32_t> displays, Targets targets,
                                            int maxWidth, bool captureSound, bool restart) {
    co_await waitForTurn();
    Turn turn(*this);

    if (restart) {
        co_await stopAll();
        soundProblem_.reset();  // a rebuild tries sound again
    }

    // Displays no longer asked for, and captures the platform ended, go.
    for (auto it = pipelines_.begin(); it != pipelines_.end();) {
        if (displays.count(it->first) && !it->second->isDead()) {
            ++it;
            continue;
        }
        auto [id, pipeline] = *it;
        it = pipelines_.erase(it);
        if (audioDisplay_ == id) audioDisplay_.reset();
        co_await stopPipeline(pipeline);
    }

    std::set<std::uint32_t> fresh;
    for (std::uint32_t d : displays)
        if (!pipelines_.count(d)) fresh.insert(d);

    // Sound wanted and carried by none: rebuild the first running display with it, unless
    // sound is known not to work here (every admission would otherwise rebuild a capture).
    if (captureSound && !audioDisplay_ && fresh.empty() && !soundProblem_ && !pipelines_.empty()) {
        auto [id, pipeline] = *pipelines_.begin();
        pipelines_.erase(pipelines_.begin());
        co_await stopPipeline(pipeline);
        fresh.insert(id);
    }

    if (fresh.empty()) {
        assignTargets(targets);
        co_return;
    }

    auto screens = parts_.pipeline.screens;
    auto listing = offload(parts_.work, [screens] { return screens->displays(); });
    const std::vector<CaptureDisplay> connected = co_await std::move(listing);

    for (std::uint32_t d : fresh) {
        auto found = std::find_if(connected.begin(), connected.end(),
                                  [d](const CaptureDisplay& c) { return c.id == d; });
        if (found == connected.end()) continue;  // disconnected meanwhile: no stream

        auto pipeline = VideoPipeline::make(parts_.pipeline, bitrate_);
        std::weak_ptr<bool> alive = alive_;
        auto mainActor = parts_.mainActor;
        pipeline->setOnStop([this, alive, mainActor](std::optional<PlatformError> error) {
            std::optional<std::string> text;
            if (error) text = error->what();
            asio::post(mainActor, [this, alive, text] {
                auto isAlive = alive.lock();
                if (isAlive && *isAlive && onStop_) onStop_(text);
            });
        });
        pipeline->setTargetBitrate(bitrate_, fps_);
        pipeline->setCodec(codec_, bitrate_, hdr_);
        bool sound = captureSound && !audioDisplay_ && !soundProblem_;
        if (sound && !pipeline->canEncodeSound()) {
            soundProblem_ = "Sound cannot be captured on this system.";
            logger().error("sound cannot be captured here: streaming without it");
            sound = false;
        }
        pipeline->setCaptureSettings(fps_, hdr_);

        const CaptureDisplay display = *found;
        std::exception_ptr failure;
        try {
            auto job = offload(parts_.work, [pipeline, display, maxWidth, sound] {
                pipeline->start(display, maxWidth, sound);
            });
            co_await std::move(job);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure && sound) {
            // Perhaps only the sound failed: try the picture alone before giving up.
            try {
                auto job = offload(parts_.work, [pipeline, display, maxWidth] {
                    pipeline->start(display, maxWidth, false);
                });
                co_await std::move(job);
                try {
                    std::rethrow_exception(failure);
                } catch (const std::exception& e) {
                    soundProblem_ = e.what();
                    logger().error("sound cannot be captured: {}", e.what());
                }
                failure = nullptr;
                sound = false;
            } catch (...) {
            }
        }
        if (failure) {
            co_await stopPipeline(pipeline);
            // What did start still serves its viewers.
            assignTargets(targets);
            std::rethrow_exception(failure);
        }
        pipeline->requestKeyframe();
        if (sound) audioDisplay_ = d;
        pipelines_[d] = pipeline;
    }
    assignTargets(targets);
}

}  // namespace orvane
