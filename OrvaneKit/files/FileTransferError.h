#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "OrvaneKit/base/Uuid.h"

namespace orvane {

// Why a file transfer failed, at either end. The two codes of our own keep the numbers the
// viewer apps show for the same failures; every other failure is the system's errno.
struct FileError {
    enum class Kind {
        outOfSpace,    // an offer above the size limit (640)
        unknownWrite,  // more bytes than offered (512)
        system,        // a file operation failed; `code` is its errno
        network,       // a send failed; `code` is the connection's error code
        cancelled,     // the sender was cancelled
        refused,       // the receiver ended the transfer
    };
    static constexpr int outOfSpaceCode = 640;
    static constexpr int unknownWriteCode = 512;

    Kind kind = Kind::system;
    int code = 0;
    std::string description;

    static FileError outOfSpace();
    static FileError unknownWrite();
    // `what` says what was being done ("Could not open report.pdf").
    static FileError system(int error, const std::string& what);
    bool operator==(const FileError&) const = default;
};

// Thrown by the receiver. `ended` names the transfer the failure cut short while its sender may
// still be sending (its part file is gone by then), so that the sender can be told.
class FileTransferError : public std::runtime_error {
public:
    FileTransferError(FileError error, std::optional<Uuid> ended)
        : std::runtime_error(error.description), error_(std::move(error)), ended_(ended) {}
    const FileError& error() const { return error_; }
    const std::optional<Uuid>& ended() const { return ended_; }

private:
    FileError error_;
    std::optional<Uuid> ended_;
};

}  // namespace orvane
