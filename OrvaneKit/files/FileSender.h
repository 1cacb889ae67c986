#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/files/FileTransferError.h"
#include "OrvaneKit/files/MessageSink.h"
#include "OrvaneKit/protocol/Messages.h"

namespace orvane {

// Sends one file over one connection: the offer, then one chunk at a time, each read only once
// the previous one was handed to the network, then the end. Streams from disk, whatever the
// file's size.
//
// Completions hold the sender weakly: its owner keeps it until onFinish has run, for instance by
// holding it in onFinish, which the sender lets go of once it ran (a sender let go
// mid-transfer stops silently). onFinish runs once per started sender: on the caller's
// thread when start() cannot open the file or the sender finishes at once, else on the
// connection's queue; onProgress always on the connection's queue. Never hold a lock across
// start() that onFinish takes.
class FileSender : public std::enable_shared_from_this<FileSender> {
public:
    static constexpr std::size_t chunkSize = 65536;

    using Progress = std::function<void(double fraction)>;
    using Finish = std::function<void(std::optional<FileError> error)>;

    // Reads the file's size and prepares the offer under `name`, by default the file's own
    // name. Throws FileTransferError when the file cannot be examined or is not a regular file
    // (a folder, a pipe, a device).
    static std::shared_ptr<FileSender> make(const std::filesystem::path& file,
                                            std::shared_ptr<MessageSink> sink,
                                            std::optional<std::string> purpose = std::nullopt,
                                            std::optional<std::string> name = std::nullopt);
    ~FileSender();
    FileSender(const FileSender&) = delete;
    FileSender& operator=(const FileSender&) = delete;

    const FileOffer& offer() const { return offer_; }
    const std::filesystem::path& file() const { return file_; }
    std::int64_t sent() const;

    // Set before start().
    Progress onProgress;
    Finish onFinish;

    // Opens the file, sends the offer and the first chunk; returns without waiting.
    void start();
    // Stops at the next chunk (the one in flight completes first); any thread.
    void cancel();
    // The receiver ended this transfer (its end for our offer came back); any thread.
    void receiverEnded();

private:
    FileSender(std::filesystem::path file, std::shared_ptr<MessageSink> sink, FileOffer offer);
    void pump();
    void chunkDone(std::size_t bytes, std::optional<NetError> error);
    void finish(bool cancelled, std::optional<FileError> error);

    const std::filesystem::path file_;
    const std::shared_ptr<MessageSink> sink_;
    const FileOffer offer_;

    mutable std::mutex lock_;
    std::optional<FileError> stopReason_;  // set by cancel() and receiverEnded()
    std::int64_t sent_ = 0;
    // A completion that came while send() had not returned yet: the pump goes on in its loop
    // instead of nesting one call deeper per chunk.
    bool inSend_ = false;
    bool completedInSend_ = false;
    bool finished_ = false;

    int fd_ = -1;  // used by whoever pumps; one pump at a time
};

}  // namespace orvane
