#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/files/FileTransferError.h"
#include "OrvaneKit/protocol/Messages.h"

namespace orvane {

// Receives the files one peer sends into one folder: each through a hidden part file that is
// moved to a free name only once every announced byte arrived. No lock: every call must come
// from one serial context (the peer's connection queue). Failures throw FileTransferError;
// whatever a failure ends leaves no part file behind.
class FileReceiver {
public:
    // The largest offered size accepted: 20 GiB.
    static constexpr std::int64_t maximumSize = 20LL * 1024 * 1024 * 1024;

    struct Completed {
        std::filesystem::path url;
        std::int64_t size = 0;
        std::optional<std::string> purpose;
    };

    // Touches no file; the folder is made on the first offer.
    explicit FileReceiver(std::filesystem::path folder);
    // Closes and deletes what is still unfinished.
    ~FileReceiver();
    FileReceiver(const FileReceiver&) = delete;
    FileReceiver& operator=(const FileReceiver&) = delete;

    // Starts (or, for an identifier already in progress, restarts) a transfer.
    void begin(const FileOffer& offer);
    // The raw body of a chunk: 16 identifier bytes, then data. Shorter bodies and unknown
    // identifiers are ignored; data past the offered size ends the transfer.
    void append(ByteView body);
    // The finished file, or nothing for a cancelled, short or unknown transfer.
    std::optional<Completed> end(const FileEnd& end);
    // Drops every transfer in progress.
    void cancelAll();

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path partFile(const Uuid& id) const;
    std::size_t inProgress() const { return incoming_.size(); }

private:
    struct Incoming {
        FileOffer offer;
        std::filesystem::path part;
        int fd = -1;
        std::int64_t received = 0;
    };
    // Removes the entry, closes its file and deletes it.
    void discard(const Uuid& id);
    static void dropFile(const Incoming& in);

    std::filesystem::path folder_;
    std::map<Uuid, Incoming> incoming_;
};

}  // namespace orvane
