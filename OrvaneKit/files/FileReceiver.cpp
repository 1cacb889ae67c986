#include "OrvaneKit/files/FileReceiver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "OrvaneKit/files/FileNames.h"

namespace orvane {

namespace {

constexpr std::size_t idBytes = 16;

}  // namespace

FileReceiver::FileReceiver(std::filesystem::path folder) : folder_(std::move(folder)) {}

FileReceiver::~FileReceiver() {
    cancelAll();
}

std::filesystem::path FileReceiver::partFile(const Uuid& id) const {
    return folder_ / ("." + id.string() + ".kelsap-part");
}

void FileReceiver::dropFile(const Incoming& in) {
    if (in.fd >= 0) ::close(in.fd);
    ::unlink(in.part.c_str());
}

void FileReceiver::discard(const Uuid& id) {
    auto it = incoming_.find(id);
    if (it == incoming_.end()) return;
    dropFile(it->second);
    incoming_.erase(it);
}

void FileReceiver::begin(const FileOffer& offer) {
    if (offer.size > maximumSize) {
        // A restart of a transfer in progress must not leave its part file either.
        discard(offer.id);
        throw FileTransferError(FileError::outOfSpace(), offer.id);
    }
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec) {
        discard(offer.id);
        throw FileTransferError(
            FileError::system(ec.value(), "Could not make the folder " + folder_.string()),
            offer.id);
    }
    auto part = partFile(offer.id);
    // The same identifier again restarts its transfer from nothing, in the same part file.
    if (auto it = incoming_.find(offer.id); it != incoming_.end()) {
        if (it->second.fd >= 0) ::close(it->second.fd);
        incoming_.erase(it);
    }
    // No following a link someone left at the part file's name.
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        int error = errno;
        ::unlink(part.c_str());
        throw FileTransferError(
            FileError::system(error, "Could not create a file in " + folder_.string()), offer.id);
    }
    incoming_[offer.id] = Incoming{offer, std::move(part), fd, 0};
}

void FileReceiver::append(ByteView body) {
    if (body.size() < idBytes) return;
    Uuid id = Uuid::fromBytes(body.data());
    auto it = incoming_.find(id);
    if (it == incoming_.end()) return;
    Incoming& in = it->second;
    auto data = body.subspan(idBytes);
    std::int64_t total = in.received + static_cast<std::int64_t>(data.size());
    if (total > in.offer.size) {
        discard(id);
        throw FileTransferError(FileError::unknownWrite(), id);
    }
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(in.fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A full disk or a size limit: what was written is useless without the rest.
            int error = n < 0 ? errno : ENOSPC;
            discard(id);
            throw FileTransferError(FileError::system(error, "Could not write the file"), id);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    in.received = total;
}

std::optional<FileReceiver::Completed> FileReceiver::end(const FileEnd& fileEnd) {
    auto it = incoming_.find(fileEnd.id);
    if (it == incoming_.end()) return std::nullopt;
    Incoming in = std::move(it->second);
    incoming_.erase(it);
    int fd = in.fd;
    in.fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        // The last writes may not have reached the disk: the file cannot be trusted.
        int error = errno;
        dropFile(in);
        throw FileTransferError(FileError::system(error, "Could not finish the file"), {});
    }
    if (fileEnd.cancelled || in.received != in.offer.size) {
        dropFile(in);
        return std::nullopt;
    }
    try {
        auto url = FileNames::moveToFreeName(in.part, folder_, FileNames::safe(in.offer.name));
        return Completed{std::move(url), in.received, in.offer.purpose};
    } catch (const FileTransferError& e) {
        dropFile(in);
        throw;
    }
}

void FileReceiver::cancelAll() {
    for (const auto& [id, in] : incoming_) dropFile(in);
    incoming_.clear();
}

}  // namespace orvane
