#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

class RemoteClient;
class FileSender;

// Incoming file transfers. Both calls run on the client's connection queue.
class IFileMessages {
public:
    virtual ~IFileMessages() = default;
    // fileOffer, fileChunk or fileEnd of an authorised client.
    virtual void handleFileMessage(MessageType type, Bytes body,
                                   const std::shared_ptr<RemoteClient>& client) = 0;
    // Closes and deletes the client's unfinished incoming files.
    virtual void cancelAll(const std::shared_ptr<RemoteClient>& client) = 0;

    // Runs on the connection queue for every file a client sent completely. Installed by the
    // host before any connection exists.
    using Received = std::function<void(const std::filesystem::path& file,
                                        const std::shared_ptr<RemoteClient>& client)>;
    virtual void setOnReceived(Received handler) = 0;
    // A file the host sends to `client`: when the client ends that transfer, the sender stops.
    // Any thread.
    virtual void sending(const std::shared_ptr<RemoteClient>& client,
                         std::weak_ptr<FileSender> sender) = 0;
};

}  // namespace orvane
