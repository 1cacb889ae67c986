#include "OrvaneKit/files/FileSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

namespace {

void sendBody(MessageSink& sink, MessageType type, const auto& body) {
    // Without a completion: a lost offer or end shows up at the receiver, not here.
    if (auto bytes = json::encode(body)) sink.send(type, std::move(*bytes));
}

}  // namespace

std::shared_ptr<FileSender> FileSender::make(const std::filesystem::path& file,
                                             std::shared_ptr<MessageSink> sink,
                                             std::optional<std::string> purpose,
                                             std::optional<std::string> name) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        throw FileTransferError(FileError::system(errno, "Could not read " + file.string()), {});
    // Folders, pipes and devices: opening or reading one could wait for ever or never end.
    if (!S_ISREG(st.st_mode))
        throw FileTransferError({FileError::Kind::system, EINVAL,
                                 "Could not send " + file.filename().string() +
                                     ": only files can be sent, not folders or devices"},
                                {});
    FileOffer offer;
    offer.id = Uuid::random();
    offer.name = name ? *name : file.filename().string();
    offer.size = static_cast<std::int64_t>(st.st_size);
    offer.purpose = std::move(purpose);
    return std::shared_ptr<FileSender>(new FileSender(file, std::move(sink), std::move(offer)));
}

FileSender::FileSender(std::filesystem::path file, std::shared_ptr<MessageSink> sink,
                       FileOffer offer)
    : file_(std::move(file)), sink_(std::move(sink)), offer_(std::move(offer)) {}

FileSender::~FileSender() {
    if (fd_ >= 0) ::close(fd_);
}

std::int64_t FileSender::sent() const {
    std::lock_guard g(lock_);
    return sent_;
}

void FileSender::start() {
    fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        auto error = FileError::system(errno, "Could not open " + file_.filename().string());
        {
            std::lock_guard g(lock_);
            finished_ = true;
        }
        auto done = std::move(onFinish);
        onFinish = nullptr;
        if (done) done(error);
        return;
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    sendBody(*sink_, MessageType::fileOffer, offer_);
    pump();
}

void FileSender::cancel() {
    std::lock_guard g(lock_);
    if (!stopReason_)
        stopReason_ =
            FileError{FileError::Kind::cancelled, ECANCELED, "The transfer was cancelled."};
}

void FileSender::receiverEnded() {
    std::lock_guard g(lock_);
    if (!stopReason_)
        stopReason_ = FileError{FileError::Kind::refused, ECONNABORTED,
                                "The receiving device ended the transfer."};
}

void FileSender::pump() {
    std::weak_ptr<FileSender> weak = weak_from_this();
    for (;;) {
        std::optional<FileError> stop;
        {
            std::lock_guard g(lock_);
            stop = stopReason_;
        }
        if (stop) return finish(true, stop);

        Bytes chunk(16 + chunkSize);
        std::copy(offer_.id.bytes.begin(), offer_.id.bytes.end(), chunk.begin());
        ssize_t n;
        do {
            n = fd_ >= 0 ? ::read(fd_, chunk.data() + 16, chunkSize) : 0;
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return finish(true,
                          FileError::system(errno, "Could not read " + file_.filename().string()));
        if (n == 0) return finish(false, std::nullopt);
        chunk.resize(16 + static_cast<std::size_t>(n));

        {
            std::lock_guard g(lock_);
            inSend_ = true;
            completedInSend_ = false;
        }
        auto bytes = static_cast<std::size_t>(n);
        sink_->send(MessageType::fileChunk, std::move(chunk),
                    [weak, bytes](std::optional<NetError> error) {
                        if (auto self = weak.lock()) self->chunkDone(bytes, std::move(error));
                    });
        std::lock_guard g(lock_);
        inSend_ = false;
        if (!completedInSend_) return;  // the completion pumps on
    }
}

void FileSender::chunkDone(std::size_t bytes, std::optional<NetError> error) {
    if (error) {
        return finish(true, FileError{FileError::Kind::network, error->code,
                                      "The connection failed: " + error->text});
    }
    double fraction;
    bool continueHere;
    {
        std::lock_guard g(lock_);
        sent_ += static_cast<std::int64_t>(bytes);
        fraction =
            offer_.size < 1 ? 1.0 : static_cast<double>(sent_) / static_cast<double>(offer_.size);
        continueHere = !inSend_;
        if (inSend_) completedInSend_ = true;
    }
    if (onProgress) onProgress(fraction);
    if (continueHere) pump();
}

void FileSender::finish(bool cancelled, std::optional<FileError> error) {
    {
        std::lock_guard g(lock_);
        if (finished_) return;
        finished_ = true;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    sendBody(*sink_, MessageType::fileEnd, FileEnd{offer_.id, cancelled});
    // Let go of the callback and whatever it holds (its owner may hold this sender there); the
    // callers hold the sender until they return.
    auto done = std::move(onFinish);
    onFinish = nullptr;
    if (done) done(std::move(error));
}

}  // namespace orvane
