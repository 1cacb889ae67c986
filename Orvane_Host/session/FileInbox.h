#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Uuid.h"
#include "Orvane_Host/session/IFileMessages.h"

namespace orvane {

// The files viewers send to this machine: each client's receiver writes into one folder. A
// transfer that fails here (refused, past its size, a write error) is ended at once, its part
// file deleted, and the sending device told with an end for its offer. An end from a client for
// a file this host is sending stops that sender.
class FileInbox final : public IFileMessages {
public:
    explicit FileInbox(std::filesystem::path folder);

    void handleFileMessage(MessageType type, Bytes body,
                           const std::shared_ptr<RemoteClient>& client) override;
    void cancelAll(const std::shared_ptr<RemoteClient>& client) override;
    void setOnReceived(Received handler) override;
    void sending(const std::shared_ptr<RemoteClient>& client,
                 std::weak_ptr<FileSender> sender) override;

    const std::filesystem::path& folder() const { return folder_; }

private:
    // True when `id` is one of the files this host sends to the client.
    bool stopOutgoing(const Uuid& client, const Uuid& id);

    const std::filesystem::path folder_;
    std::mutex mutex_;  // guards what follows
    Received onReceived_;
    std::map<Uuid, std::vector<std::weak_ptr<FileSender>>> outgoing_;
    const Logger log_{"com.nimbrel.kelsap.host", "net"};
};

}  // namespace orvane
