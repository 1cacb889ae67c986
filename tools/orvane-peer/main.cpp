// orvane-peer: a command-line session peer on OrvaneKit, for end-to-end tests and manual checks.
//
//   orvane-peer connect --host H [--port P] --code CODE [--name N] [--platform P]
//                       [--role viewer|screenSharer|sharer] [--icloud-token T]
//                       [--expect-fingerprint FP] [--share-pattern [--orientation N]]
//                       [--script FILE] [--keychain FILE] [--video-out FILE] [--audio-out FILE]
//                       [--media each|summary] [--save-files DIR] [--record FILE.mov]
//   orvane-peer connect [--host H [--port P]] [--link LINK]... [--mac MACID [--hole-punch]
//                       [--stun H:P]] [--quic H:P]... [--interface NAME]... [--stagger MS]
//                       [--timeout S] [--code CODE] [the options above]
//   orvane-peer serve [--bind A] [--port P] --code CODE [--script FILE] [--keychain FILE]
//                     [--save-files DIR]
//   orvane-peer identity [--keychain FILE]
//   orvane-peer pair parse LINK
//   orvane-peer wake MAC [--dest ADDR]
//   orvane-peer cloud …   the owner's cloud records (see CloudCommand.cpp)
//
// Prints one JSON object per line for every event and message. `connect` dials as a viewer and
// sends a Hello (with the iCloud token when given) once the secure channel is up; `serve`
// accepts one connection as a host and answers every ping with a pong; `identity` prints the
// fingerprint this keychain gives the peer, making the identity when there is none; `pair parse`
// prints a pairing link's fields, reach and routes (exit 1 for a link that is not one); `wake`
// sends the wake-on-LAN packets, to the broadcast address unless `--dest` names another. A script
// holds one step a line:
//   send TYPE [BODY]      BODY is JSON ({…}, […], "…"), hex:0A0B, or plain text
//   expect TYPE [SECONDS] waits for the next message of that type (default 10 s)
//   forbid TYPE           from here on, a message of that type fails the script at once
//   closed [SECONDS]      waits for the other side to end the connection (default 10 s)
//   wait MILLISECONDS
//   save FILE             writes the body of the message the last `expect` waited for
//   bye [REASON]          sends a bye and closes once it is out
//   close
// `--video-out` writes the video it receives, from the first keyframe on, as an Annex-B byte
// stream that a standalone decoder reads. `--audio-out` decodes the sound with the format the
// host announced and writes it as interleaved 32-bit float samples (a packet that does not
// decode is an error line). `--media summary` prints video and audio messages as
// one line a second per type (count, bytes, keyframes) instead of one line each.
//   sendfile PATH [NAME]  streams the file (under NAME when given), one chunk in flight, and
//                         waits until it went out or failed
// `--record` stores the received video as a movie without re-encoding, from the first keyframe
// on; it is finished when the session ends or the peer gets SIGINT or SIGTERM (then exit 0).
// `--share-pattern` (with the sharer role) sends a generated portrait screen once the host
// welcomes the peer, announcing `--orientation` (1-8, default 1) first; see PatternSharer.h.
// `--platform` names the device kind in the Hello (mac, iPhone, iPad, …). With `--save-files`
// the files the other side sends are put together in DIR, and reported instead of their chunks.
// With any of --link, --mac, --quic, --hole-punch, --interface, --stagger or --timeout, `connect`
// races every way it knows (see RaceConnect.cpp): the links' routes, the machine record's
// addresses in the owner's store (and with --hole-punch its punched QUIC path), --host and each
// --quic, each over every --interface, one new way every --stagger ms (250) until --timeout s
// (10). The code defaults to the link's or the record's. It prints "candidate" for each way and
// "raceWon" with the winner's candidate key, fingerprint and route.
// Exit status: 0 done, 1 a step failed or the connection broke, 2 the access code was refused,
// 3 the peer's identity did not match, 64 bad usage.

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/base/LargeBuffers.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/files/ConnectionSink.h"
#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/files/FileSender.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/VideoDepacketizer.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"
#include "OrvaneKit/media/ffmpeg/SessionRecorder.h"
#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/reach/Pairing.h"
#include "OrvaneKit/reach/WakeOnLAN.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "PatternSharer.h"
#include "RaceConnect.h"

using namespace orvane;
using namespace std::chrono_literals;

int runCloudCommand(int argc, char** argv);
int runTeamCommand(int argc, char** argv);
int runCloudServerCommand(int argc, char** argv);
int runCloudKeyCommand(int argc, char** argv);
int runWidgetCommand(int argc, char** argv);

namespace {

enum Exit { ok = 0, stepFailed = 1, codeRefused = 2, identityMismatch = 3, usage = 64 };

std::mutex outMutex;

void emit(const json::Value& event) {
    std::lock_guard lock(outMutex);
    std::cout << event.dump() << std::endl;
}

void emitError(const std::string& text) {
    emit({{"event", "error"}, {"message", text}});
    std::lock_guard lock(outMutex);
    std::cerr << "orvane-peer: " << text << std::endl;
}

std::string stateName(const ConnState& s) {
    static const char* names[] = {"setup", "preparing", "waiting", "ready", "failed", "cancelled"};
    return names[s.index()];
}

std::optional<MessageType> parseType(const std::string& text) {
    for (MessageType t : allMessageTypes)
        if (messageTypeName(t) == text) return t;
    try {
        std::size_t used = 0;
        unsigned long code = std::stoul(text, &used);
        if (used == text.size() && code <= 0xFFFFFFFFul)
            return static_cast<MessageType>(static_cast<std::uint32_t>(code));
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<Bytes> parseBody(const std::string& text) {
    if (text.empty()) return Bytes{};
    if (text.rfind("hex:", 0) == 0) {
        try {
            return fromHex(text.substr(4));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (text[0] == '{' || text[0] == '[' || text[0] == '"') {
        if (!json::parse(std::string_view(text))) return std::nullopt;
    }
    return toBytes(text);
}

struct Options {
    std::string mode;
    std::string host;
    std::uint16_t port = defaultPort;
    std::optional<std::string> bind;
    std::string code;
    std::string name = "orvane-peer";
    std::string platform = "mac";
    std::optional<std::string> role;
    std::optional<std::string> iCloudToken;
    std::optional<std::string> expectFingerprint;
    std::optional<std::string> script;
    std::optional<std::string> keychain;
    std::optional<std::string> videoOut;
    std::optional<std::string> audioOut;
    bool mediaSummary = false;
    std::optional<std::string> saveFiles;
    std::optional<std::string> record;
    bool sharePattern = false;
    int orientation = 1;
    RaceOptions race;
};

// Appends a video packet's parameter sets (keyframes) and NAL units with start codes. False
// when a NAL length runs past the end of the packet.
bool appendAnnexB(const VideoPacket& packet, Bytes& stream) {
    static constexpr std::uint8_t start[] = {0, 0, 0, 1};
    if (packet.isKeyframe)
        for (const auto& set : packet.parameterSets) {
            stream.insert(stream.end(), std::begin(start), std::end(start));
            stream.insert(stream.end(), set.begin(), set.end());
        }
    std::size_t offset = 0;
    const Bytes& a = packet.avcc;
    while (offset < a.size()) {
        if (a.size() - offset < 4) return false;
        const std::size_t len = readBE32(a.data() + offset);
        offset += 4;
        if (a.size() - offset < len) return false;
        stream.insert(stream.end(), std::begin(start), std::end(start));
        stream.insert(stream.end(), a.begin() + static_cast<std::ptrdiff_t>(offset),
                      a.begin() + static_cast<std::ptrdiff_t>(offset + len));
        offset += len;
    }
    return true;
}

// What the peer does with media messages besides the script's expectations.
class MediaOutput {
public:
    explicit MediaOutput(const Options& o) : summary_(o.mediaSummary) {
        if (o.videoOut) {
            video_.open(*o.videoOut, std::ios::binary | std::ios::trunc);
            if (!video_) throw std::runtime_error("cannot write the video to " + *o.videoOut);
        }
        if (o.record) recorder_ = std::make_unique<SessionRecorder>(*o.record);
        if (o.audioOut) {
            audio_.open(*o.audioOut, std::ios::binary | std::ios::trunc);
            if (!audio_) throw std::runtime_error("cannot write the sound to " + *o.audioOut);
        }
    }
    ~MediaOutput() {
        finishRecording();
        std::lock_guard lock(mutex_);
        flushLocked();
    }

    // Closes the movie and reports it; later video is ignored.
    void finishRecording() {
        std::lock_guard lock(mutex_);
        if (!recorder_ || recordingDone_) return;
        recordingDone_ = true;
        if (auto file = recorder_->finish())
            emit({{"event", "recorded"}, {"file", file->string()}});
        else
            emitError("nothing recorded: " +
                      recorder_->lastError().value_or("no keyframe arrived"));
    }

    // True when the message was printed here (summary mode) and needs no line of its own.
    bool take(MessageType type, const Bytes& body) {
        const bool media = type == MessageType::video || type == MessageType::audio;
        if (type == MessageType::video && video_.is_open()) write(body);
        if (type == MessageType::video && recorder_) record(body);
        if (audio_.is_open()) {
            if (type == MessageType::audioFormat) startAudio(body);
            if (type == MessageType::audio) writeAudio(body);
        }
        if (!media || !summary_) return false;
        std::lock_guard lock(mutex_);
        // A second's line covers the messages of that second: a late one opens the next.
        const auto now = std::chrono::steady_clock::now();
        if (!counting_) {
            since_ = now;
            counting_ = true;
        } else if (now - since_ >= 1s) {
            flushLocked();
            since_ = now;
        }
        auto& c = counts_[type];
        ++c.count;
        c.bytes += body.size();
        if (type == MessageType::video)
            if (auto packet = VideoPacket::parse(body); packet && packet->isKeyframe) ++c.keyframes;
        return true;
    }

private:
    struct Counts {
        std::uint64_t count = 0, bytes = 0, keyframes = 0;
    };

    void write(const Bytes& body) {
        auto packet = VideoPacket::parse(body);
        if (!packet) {
            emitError("a video message did not parse");
            return;
        }
        std::lock_guard lock(mutex_);
        if (!sawKeyframe_ && !packet->isKeyframe) return;  // undecodable before the first one
        sawKeyframe_ = true;
        Bytes stream;
        if (!appendAnnexB(*packet, stream)) emitError("a video packet's NAL lengths are broken");
        video_.write(reinterpret_cast<const char*>(stream.data()),
                     static_cast<std::streamsize>(stream.size()));
        video_.flush();
    }

    void record(const Bytes& body) {
        auto packet = VideoPacket::parse(body);
        std::lock_guard lock(mutex_);
        if (!packet || recordingDone_) return;
        if (auto sample = depacketizer_.sampleBuffer(*packet)) recorder_->append(*sample);
        if (auto error = recorder_->lastError(); error && error != lastRecordError_) {
            lastRecordError_ = error;
            emitError("recording: " + *error);
        }
    }

    void startAudio(const Bytes& body) {
        auto format = json::decode<AudioStreamFormat>(body);
        std::lock_guard lock(mutex_);
        audioDecoder_ = format ? AudioDecoder::create(*format) : nullptr;
        if (!audioDecoder_) emitError("the audio format has no usable decoder");
    }

    void writeAudio(const Bytes& body) {
        std::lock_guard lock(mutex_);
        if (!audioDecoder_) {
            emitError("sound arrived without a usable audio format");
            return;
        }
        auto pcm = audioDecoder_->decode(body);
        if (!pcm) {
            emitError("an audio packet did not decode");
            return;
        }
        std::vector<float> interleaved;
        interleaved.reserve(pcm->frameCount() * pcm->planes.size());
        for (std::size_t i = 0; i < pcm->frameCount(); ++i)
            for (const auto& plane : pcm->planes) interleaved.push_back(plane[i]);
        audio_.write(reinterpret_cast<const char*>(interleaved.data()),
                     static_cast<std::streamsize>(interleaved.size() * sizeof(float)));
        audio_.flush();
    }

    void flushLocked() {
        for (auto& [type, c] : counts_) {
            if (!c.count) continue;
            json::Value e = {{"event", "media"},
                             {"type", std::string(messageTypeName(type))},
                             {"count", c.count},
                             {"bytes", c.bytes}};
            if (type == MessageType::video) e["keyframes"] = c.keyframes;
            emit(e);
            c = {};
        }
    }

    bool summary_;
    std::mutex mutex_;
    std::ofstream video_;
    bool sawKeyframe_ = false;
    VideoDepacketizer depacketizer_;
    std::unique_ptr<SessionRecorder> recorder_;
    bool recordingDone_ = false;
    std::optional<std::string> lastRecordError_;
    std::ofstream audio_;
    std::unique_ptr<AudioDecoder> audioDecoder_;
    std::map<MessageType, Counts> counts_;
    bool counting_ = false;
    std::chrono::steady_clock::time_point since_;
};

long maxRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Files in both directions: what the script sends, and with --save-files what arrives. Runs on
// the connection's strand, except sendFile.
class FileTransfers {
public:
    explicit FileTransfers(const Options& o) {
        if (o.saveFiles) receiver_ = std::make_unique<FileReceiver>(*o.saveFiles);
    }

    // True when the message was handled here and needs no line of its own.
    bool take(MessageType type, const Bytes& body, const std::shared_ptr<OrvaneConnection>& c) {
        if (type == MessageType::fileEnd)
            if (auto end = json::decode<FileEnd>(body); end && stopSender(end->id)) return false;
        if (!receiver_) return false;
        try {
            if (type == MessageType::fileOffer) {
                if (auto offer = json::decode<FileOffer>(body)) receiver_->begin(*offer);
            } else if (type == MessageType::fileChunk) {
                receiver_->append(body);
                return true;
            } else if (type == MessageType::fileEnd) {
                auto end = json::decode<FileEnd>(body);
                if (!end) return false;
                if (auto done = receiver_->end(*end)) {
                    json::Value e = {{"event", "fileReceived"},
                                     {"name", done->url.filename().string()},
                                     {"path", done->url.string()},
                                     {"size", done->size}};
                    if (done->purpose) e["purpose"] = *done->purpose;
                    emit(e);
                }
            }
        } catch (const FileTransferError& e) {
            emit({{"event", "fileFailed"}, {"message", e.what()}});
            if (e.ended()) c->send(MessageType::fileEnd, FileEnd{*e.ended(), true});
        }
        return false;
    }

    // Streams one file and waits for its end; false when it failed.
    bool sendFile(const std::shared_ptr<OrvaneConnection>& conn, const std::string& path,
                  std::optional<std::string> name) {
        std::shared_ptr<FileSender> sender;
        try {
            sender = FileSender::make(path, std::make_shared<ConnectionSink>(conn), std::nullopt,
                                      std::move(name));
        } catch (const FileTransferError& e) {
            emitError(e.what());
            return false;
        }
        std::promise<std::optional<FileError>> finished;
        sender->onFinish = [&finished](std::optional<FileError> e) { finished.set_value(e); };
        {
            std::lock_guard lock(mutex_);
            sending_ = sender;
        }
        sender->start();
        auto error = finished.get_future().get();
        {
            std::lock_guard lock(mutex_);
            sending_.reset();
        }
        if (error) {
            emitError("sending " + sender->offer().name + " failed: " + error->description);
            return false;
        }
        emit({{"event", "fileSent"},
              {"name", sender->offer().name},
              {"bytes", sender->sent()},
              {"maxRssKiB", maxRssKiB()}});
        return true;
    }

private:
    // The other side ended the file we are sending.
    bool stopSender(const Uuid& id) {
        std::lock_guard lock(mutex_);
        if (!sending_ || sending_->offer().id != id) return false;
        sending_->receiverEnded();
        return true;
    }

    std::unique_ptr<FileReceiver> receiver_;
    std::mutex mutex_;
    std::shared_ptr<FileSender> sending_;
};

// Everything the connection reported, for the script runner on the main thread.
class Session {
public:
    void setMedia(MediaOutput* media) { media_ = media; }
    void setFiles(FileTransfers* files) { files_ = files; }
    // Sees the type of every message as it arrives, on the connection's queue.
    std::function<void(MessageType)> onType;

    void attach(const std::shared_ptr<OrvaneConnection>& conn, bool answerPings) {
        conn_ = conn;
        std::weak_ptr<OrvaneConnection> weak = conn;
        conn->setOnStateChange([this, weak](const ConnState& s) {
            auto c = weak.lock();
            json::Value e = {{"event", "state"}, {"state", stateName(s)}};
            if (const NetError* err = stateError(s)) {
                e["error"] = describe(*err);
                e["tlsFailure"] = OrvaneConnection::isTLSFailure(s);
            }
            if (c && holds_alternative<conn::Ready>(s)) {
                e["peerFingerprint"] = c->peerFingerprint().value_or("");
                e["route"] = std::string(rawValue(c->route()));
            }
            if (c && holds_alternative<conn::Failed>(s))
                if (auto f = c->securityFailure()) {
                    e["securityFailure"] = f->description();
                    if (f->kind() == SecureChannelError::Kind::identityChanged) {
                        e["expected"] = f->expected();
                        e["got"] = f->got();
                    }
                }
            emit(e);
            std::lock_guard lock(mutex_);
            if (holds_alternative<conn::Ready>(s)) ready_ = true;
            if (OrvaneConnection::isTLSFailure(s)) tlsFailure_ = true;
            if (c && c->securityFailure()) securityFailure_ = c->securityFailure();
            if (holds_alternative<conn::Failed>(s) || holds_alternative<conn::Waiting>(s)) {
                failed_ = true;
                if (c) c->cancel();
            }
            if (holds_alternative<conn::Cancelled>(s)) ended_ = true;
            cv_.notify_all();
        });
        conn->setOnMessage([this, weak, answerPings](MessageType type, Bytes body) {
            auto c = weak.lock();
            if (onType) onType(type);
            const bool taken = (media_ && media_->take(type, body)) ||
                               (files_ && c && files_->take(type, body, c));
            if (!taken) {
                json::Value e = {{"event", "message"},
                                 {"type", std::string(messageTypeName(type))},
                                 {"code", rawValue(type)},
                                 {"bytes", body.size()}};
                if (auto value = json::parse(body))
                    e["body"] = *value;
                else if (body.size() <= 64)
                    e["hex"] = toHex(body);
                emit(e);
            }
            if (answerPings && type == MessageType::ping)
                if (auto c = weak.lock()) c->send(MessageType::pong, body);
            std::lock_guard lock(mutex_);
            if (forbidden_.count(type) && !forbiddenArrived_) forbiddenArrived_ = type;
            messages_.emplace_back(type, std::move(body));
            cv_.notify_all();
        });
    }

    // A connection that came up before it was attached here (the race's winner).
    void adoptReady(const std::shared_ptr<OrvaneConnection>& conn) {
        emit({{"event", "state"},
              {"state", "ready"},
              {"peerFingerprint", conn->peerFingerprint().value_or("")},
              {"route", std::string(rawValue(conn->route()))}});
        std::lock_guard lock(mutex_);
        ready_ = true;
    }

    // Waits for the channel; false when the connection ended first.
    bool waitReady(std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return ready_ || ended_ || failed_; });
        return ready_ && !ended_;
    }
    bool waitMessage(MessageType type, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            while (!messages_.empty()) {
                auto [t, body] = std::move(messages_.front());
                messages_.pop_front();
                if (t == type) {
                    lastExpected_ = std::move(body);
                    return true;
                }
            }
            if (ended_ || forbiddenArrived_) return false;
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && messages_.empty())
                return false;
        }
    }
    // With `untilForbidden`, a forbidden message ends the wait early.
    bool waitEnded(std::chrono::milliseconds timeout, bool untilForbidden = false) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout,
                     [&] { return ended_ || (untilForbidden && forbiddenArrived_); });
        return ended_;
    }
    void forbid(MessageType type) {
        std::lock_guard lock(mutex_);
        forbidden_.insert(type);
        // One that came before the step ran but was not read yet counts too: the peer can be
        // quicker than the script.
        for (const auto& m : messages_)
            if (m.first == type && !forbiddenArrived_) forbiddenArrived_ = type;
    }
    // The first forbidden message type that arrived.
    std::optional<MessageType> forbiddenArrived() {
        std::lock_guard lock(mutex_);
        return forbiddenArrived_;
    }
    void waitEndedForever() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return ended_; });
    }

    // The exit status and message for an ending that was not asked for.
    int failureStatus() {
        std::lock_guard lock(mutex_);
        if (securityFailure_ &&
            securityFailure_->kind() == SecureChannelError::Kind::identityChanged) {
            emitError("the peer's identity changed: expected " + securityFailure_->expected() +
                      ", got " + securityFailure_->got());
            return identityMismatch;
        }
        if (tlsFailure_) {
            emitError("the access code was refused");
            return codeRefused;
        }
        if (securityFailure_) {
            emitError("secure channel failed: " + securityFailure_->description());
            return stepFailed;
        }
        emitError(ready_ ? "the connection ended" : "the connection could not be set up");
        return stepFailed;
    }

    bool sendAndWait(MessageType type, Bytes body) {
        // Shared: the completion may come after we stopped waiting for it.
        auto done = std::make_shared<std::promise<std::optional<NetError>>>();
        auto f = done->get_future();
        conn_->send(type, std::move(body),
                    [done](std::optional<NetError> e) { done->set_value(e); });
        if (f.wait_for(20s) != std::future_status::ready) return false;
        auto e = f.get();
        if (e) emitError("send failed: " + describe(*e));
        return !e;
    }

    std::shared_ptr<OrvaneConnection> conn_;
    Bytes lastExpected_;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::pair<MessageType, Bytes>> messages_;
    bool ready_ = false, ended_ = false, failed_ = false, tlsFailure_ = false;
    std::optional<SecureChannelError> securityFailure_;
    std::set<MessageType> forbidden_;
    std::optional<MessageType> forbiddenArrived_;
    MediaOutput* media_ = nullptr;
    FileTransfers* files_ = nullptr;
};

int runScript(Session& session, FileTransfers& files, const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        emitError("cannot read the script " + path);
        return usage;
    }
    // A forbidden message fails the script whenever it came, also during the last step.
    auto forbiddenCame = [&session] {
        auto type = session.forbiddenArrived();
        if (type) emitError("a forbidden " + std::string(messageTypeName(*type)) + " arrived");
        return type.has_value();
    };
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb) || verb[0] == '#') continue;
        std::string rest;
        std::getline(words >> std::ws, rest);
        auto bad = [&](const std::string& why) {
            emitError("script line " + std::to_string(lineNo) + ": " + why);
            return stepFailed;
        };
        auto timeout = [&](double fallback) {
            double s = fallback;
            std::istringstream(rest) >> s;
            return std::chrono::milliseconds(static_cast<long long>(s * 1000));
        };
        emit({{"event", "step"}, {"line", lineNo}, {"step", line}});
        if (verb == "send") {
            std::istringstream args(rest);
            std::string typeText, body;
            args >> typeText;
            std::getline(args >> std::ws, body);
            auto type = parseType(typeText);
            auto bytes = parseBody(body);
            if (!type || !bytes) return bad("cannot read the type or body");
            if (!session.sendAndWait(*type, std::move(*bytes))) return bad("send failed");
        } else if (verb == "expect" || verb == "forbid") {
            std::istringstream args(rest);
            std::string typeText;
            double seconds = 10;
            args >> typeText >> seconds;
            auto type = parseType(typeText);
            if (!type) return bad("unknown message type " + typeText);
            if (verb == "forbid") {
                session.forbid(*type);
            } else if (!session.waitMessage(*type, std::chrono::milliseconds(
                                                       static_cast<long long>(seconds * 1000)))) {
                return forbiddenCame() ? stepFailed : bad("no " + typeText + " arrived");
            }
        } else if (verb == "closed") {
            bool ended = session.waitEnded(timeout(10), true);
            if (forbiddenCame()) return stepFailed;
            if (!ended) return bad("the connection is still open");
        } else if (verb == "wait") {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::stol(rest.empty() ? "0" : rest)));
        } else if (verb == "save") {
            std::ofstream out(rest, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(session.lastExpected_.data()),
                      static_cast<std::streamsize>(session.lastExpected_.size()));
            if (!out) return bad("cannot write " + rest);
        } else if (verb == "bye") {
            session.sendAndWait(MessageType::bye, *json::encode(Bye{rest}));
            // The host closes once it has read the bye. Closing first, with its messages still
            // unread here, resets the connection, and the host loses what it had not read yet.
            if (!session.waitEnded(5s)) {
                session.conn_->cancel();
                session.waitEnded(5s);
            }
            return forbiddenCame() ? stepFailed : ok;
        } else if (verb == "sendfile") {
            std::istringstream args(rest);
            std::string file, name;
            args >> file;
            std::getline(args >> std::ws, name);
            if (file.empty()) return bad("sendfile needs a path");
            if (!files.sendFile(session.conn_, file,
                                name.empty() ? std::nullopt : std::optional(name)))
                return bad("the file did not go out");
        } else if (verb == "close") {
            session.conn_->cancel();
            session.waitEnded(5s);
            return forbiddenCame() ? stepFailed : ok;
        } else {
            return bad("unknown step " + verb);
        }
        if (forbiddenCame()) return stepFailed;
    }
    return ok;
}

SecureIdentity& identityFor(const Options& o) {
    static std::unique_ptr<FileSecretStore> store;
    static std::unique_ptr<SecureIdentity> identity;
    std::filesystem::path file =
        o.keychain ? std::filesystem::path(*o.keychain)
                   : Paths::applicationSupport() / "orvane-peer" / "keychain.json";
    store = std::make_unique<FileSecretStore>(file);
    identity = std::make_unique<SecureIdentity>(*store, "com.nimbrel.kelsap.peer");
    return *identity;
}

// Stops the network threads before the objects their handlers use go away.
struct StopOnExit {
    NetContext& net;
    ~StopOnExit() { net.stop(); }
};

// With a recording, SIGINT and SIGTERM finish the movie before the peer exits; a movie cut off
// mid-write has no index and plays nowhere.
std::atomic<MediaOutput*> recordingMedia{nullptr};

struct FinishRecordingOnSignal {
    explicit FinishRecordingOnSignal(MediaOutput& media, bool recording) {
        if (!recording) return;
        recordingMedia = &media;
        static std::once_flag started;
        std::call_once(started, [] {
            std::thread([] {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, SIGINT);
                sigaddset(&set, SIGTERM);
                int sig = 0;
                if (sigwait(&set, &sig) != 0) return;
                if (MediaOutput* media = recordingMedia.exchange(nullptr)) media->finishRecording();
                std::cout.flush();
                std::_Exit(ok);
            }).detach();
        });
    }
    ~FinishRecordingOnSignal() { recordingMedia = nullptr; }
};

int connect(const Options& o, NetContext& net, SecureIdentity& identity) {
    MediaOutput media(o);
    FinishRecordingOnSignal onSignal(media, o.record.has_value());
    FileTransfers files(o);
    Session session;
    session.setFiles(&files);
    session.setMedia(&media);
    // Gone after the network stops (no message can reach it then), before the connection.
    std::unique_ptr<PatternSharer> sharer;
    if (o.sharePattern) {
        sharer = std::make_unique<PatternSharer>(
            [&session](MessageType type, Bytes body) {
                session.conn_->send(type, std::move(body));
            },
            o.orientation);
        session.onType = [s = sharer.get()](MessageType type) { s->saw(type); };
    }
    StopOnExit stop{net};
    std::shared_ptr<OrvaneConnection> conn;
    if (o.race.requested) {
        auto plain = o.host.empty() ? std::nullopt : std::optional(HostPort{o.host, o.port});
        auto won =
            runRace(o.race, o.code, o.expectFingerprint, plain, net, identity, emit, emitError);
        if (const int* status = std::get_if<int>(&won)) return *status;
        conn = std::get<RaceWinner>(won).connection;
        session.attach(conn, false);
        session.adoptReady(conn);
    } else {
        conn = OrvaneConnection::makeClient(HostPort{o.host, o.port}, o.code, std::nullopt,
                                            std::nullopt, {&identity, nullptr, &net});
        conn->setExpectedPeerFingerprint(o.expectFingerprint);
        session.attach(conn, false);
        conn->start();
        if (!session.waitReady(30s)) return session.failureStatus();
    }
    Hello hello;
    hello.deviceName = o.name;
    hello.platform = clientPlatformFromRaw(o.platform).value_or(ClientPlatform::unknown);
    hello.iCloudToken = o.iCloudToken;
    if (o.role) hello.role = clientRoleFromRaw(*o.role);
    if (!session.sendAndWait(MessageType::hello, *json::encode(hello))) return stepFailed;
    if (!o.script) {
        session.waitEndedForever();
        return ok;
    }
    int status = runScript(session, files, *o.script);
    conn->cancel();
    session.waitEnded(5s);
    return status;
}

int serve(const Options& o, NetContext& net, SecureIdentity& identity) {
    TlsPskListener::Options lo;
    lo.port = o.port;
    lo.bindAddress = o.bind;
    lo.params = AccessCode::pskParameters(o.code, true);
    auto listener = TlsPskListener::make(net, lo);
    MediaOutput media(o);
    FinishRecordingOnSignal onSignal(media, o.record.has_value());
    FileTransfers files(o);
    Session session;
    session.setFiles(&files);
    session.setMedia(&media);
    std::mutex mutex;
    std::condition_variable cv;
    bool accepted = false, listenerFailed = false;
    StopOnExit stop{net};
    listener->setStateHandler([&](const ConnState& s) {
        if (holds_alternative<conn::Ready>(s))
            emit({{"event", "listening"},
                  {"port", listener->port()},
                  {"fingerprint", identity.fingerprint()}});
        if (holds_alternative<conn::Failed>(s)) {
            emitError("listener failed: " + describe(*stateError(s)));
            std::lock_guard lock(mutex);
            listenerFailed = true;
            cv.notify_all();
        }
    });
    listener->setNewConnectionHandler([&](std::shared_ptr<Transport> t) {
        std::lock_guard lock(mutex);
        if (accepted) return t->cancel();
        accepted = true;
        auto conn = OrvaneConnection::makeServer(std::move(t), o.code, {&identity, nullptr, &net});
        session.attach(conn, true);
        conn->start();
        cv.notify_all();
    });
    listener->start();
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return accepted || listenerFailed; });
        if (listenerFailed) return stepFailed;
    }
    listener->cancel();
    int status = ok;
    if (!session.waitReady(30s)) return session.failureStatus();
    if (o.script)
        status = runScript(session, files, *o.script);
    else
        session.waitEndedForever();
    session.conn_->cancel();
    session.waitEnded(5s);
    return status;
}

json::Value optionalJson(const auto& v) {
    return v ? json::Value(*v) : json::Value(nullptr);
}

int pairParse(const std::string& link) {
    auto info = PairingInfo::parse(link);
    if (!info) {
        emitError("not a pairing link");
        return stepFailed;
    }
    json::Value routes = json::Value::array();
    for (const auto& r : info->routes()) routes.push_back({{"host", r.host}, {"port", r.port}});
    emit({{"event", "pairing"},
          {"name", info->name},
          {"host", optionalJson(info->host)},
          {"port", info->port},
          {"code", info->code},
          {"externalHost", optionalJson(info->externalHost)},
          {"externalPort", optionalJson(info->externalPort)},
          {"ipv6", info->ipv6},
          {"natHost", optionalJson(info->natHost)},
          {"natPort", optionalJson(info->natPort)},
          {"reach", std::string(rawValue(info->reach()))},
          {"routes", routes}});
    return ok;
}

int wake(int argc, char** argv) {
    if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "--dest")) return usage;
    std::string dest = argc == 5 ? argv[4] : std::string(WakeOnLAN::broadcast);
    if (!WakeOnLAN::magicPacket(argv[2])) {
        emitError("not a hardware address");
        return stepFailed;
    }
    WakeOnLAN::send(argv[2], dest);
    emit({{"event", "wake"}, {"destination", dest}});
    return ok;
}

int parse(int argc, char** argv, Options& o) {
    if (argc < 2) return usage;
    o.mode = argv[1];
    if (o.mode != "connect" && o.mode != "serve" && o.mode != "identity") return usage;
    for (int i = 2; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--share-pattern") {
            o.sharePattern = true;
            continue;
        }
        if (o.mode == "connect") {
            int used = o.race.take({argv + i, argv + std::min(argc, i + 2)});
            if (used < 0) return usage;
            if (used > 0) {
                i += used - 1;
                continue;
            }
        }
        if (i + 1 >= argc) return usage;
        std::string value = argv[++i];
        if (flag == "--host")
            o.host = value;
        else if (flag == "--port")
            o.port = static_cast<std::uint16_t>(std::stoul(value));
        else if (flag == "--bind")
            o.bind = value;
        else if (flag == "--code")
            o.code = value;
        else if (flag == "--name")
            o.name = value;
        else if (flag == "--platform")
            o.platform = value;
        else if (flag == "--role" && clientRoleFromRaw(value))
            o.role = value;
        else if (flag == "--role" && value == "sharer")
            o.role = "screenSharer";
        else if (flag == "--orientation")
            o.orientation = std::stoi(value);
        else if (flag == "--icloud-token")
            o.iCloudToken = value;
        else if (flag == "--expect-fingerprint")
            o.expectFingerprint = value;
        else if (flag == "--script")
            o.script = value;
        else if (flag == "--keychain")
            o.keychain = value;
        else if (flag == "--video-out")
            o.videoOut = value;
        else if (flag == "--audio-out")
            o.audioOut = value;
        else if (flag == "--media" && (value == "each" || value == "summary"))
            o.mediaSummary = value == "summary";
        else if (flag == "--save-files")
            o.saveFiles = value;
        else if (flag == "--record")
            o.record = value;
        else
            return usage;
    }
    if (o.mode == "identity" || (o.mode == "connect" && o.race.requested)) return ok;
    if (o.code.empty() || (o.mode == "connect" && o.host.empty())) return usage;
    if (o.sharePattern && (o.mode != "connect" || o.role != "screenSharer")) return usage;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    returnLargeBuffersToSystem();
    if (argc >= 2 && std::string(argv[1]) == "cloud") {
        Log::setStderr(false);
        if (argc >= 3 && std::string(argv[2]) == "server") return runCloudServerCommand(argc, argv);
        if (argc >= 3 && std::string(argv[2]) == "key") return runCloudKeyCommand(argc, argv);
        return runCloudCommand(argc, argv);
    }
    if (argc >= 2 && std::string(argv[1]) == "team") {
        Log::setStderr(false);
        return runTeamCommand(argc, argv);
    }
    if (argc >= 2 && (std::string(argv[1]) == "widget" || std::string(argv[1]) == "broadcast")) {
        Log::setStderr(false);
        return runWidgetCommand(argc, argv);
    }
    Options o;
    int parsed = usage;
    std::string mode = argc >= 2 ? argv[1] : "";
    if (mode == "pair" && argc == 4 && std::string(argv[2]) == "parse") return pairParse(argv[3]);
    if (mode == "wake")
        if (int status = wake(argc, argv); status != usage) return status;
    try {
        parsed = parse(argc, argv, o);
    } catch (const std::exception&) {
    }
    if (parsed != ok) {
        std::cerr << "usage: orvane-peer connect --host H [--port P] --code CODE [--name N] "
                     "[--platform P] [--role R] [--icloud-token T] [--expect-fingerprint FP] "
                     "[--script FILE] [--keychain FILE] [--video-out FILE] [--audio-out FILE] "
                     "[--media each|summary] [--save-files DIR] [--record FILE.mov] "
                     "[--share-pattern [--orientation N]]\n"
                     "       orvane-peer connect [--host H [--port P]] [--link LINK]... [--mac ID "
                     "[--hole-punch] [--stun H:P]] [--quic H:P]... [--interface NAME]... "
                     "[--stagger MS] [--timeout S] [--code CODE] [other connect options]\n"
                     "       orvane-peer serve [--bind A] [--port P] --code CODE [--script FILE] "
                     "[--keychain FILE] [--save-files DIR]\n"
                     "       orvane-peer identity [--keychain FILE]\n"
                     "       orvane-peer pair parse LINK\n"
                     "       orvane-peer wake MAC [--dest ADDR]\n"
                     "       orvane-peer cloud status|whoami|macs|commands|watch|send ...\n";
        return usage;
    }
    Log::setStderr(false);
    if (o.record) {
        // Blocked before any thread starts, so only the recorder's signal thread takes them.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    try {
        SecureIdentity& identity = identityFor(o);
        if (o.mode == "identity") {
            emit({{"event", "identity"}, {"fingerprint", identity.fingerprint()}});
            return ok;
        }
        NetContext net(2);
        int status = o.mode == "connect" ? connect(o, net, identity) : serve(o, net, identity);
        net.stop();
        return status;
    } catch (const std::exception& e) {
        emitError(e.what());
        return stepFailed;
    }
}
