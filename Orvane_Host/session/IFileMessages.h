#pragma once

#include <memory>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

class RemoteClient;

// Incoming file transfers. Both calls run on the client's connection queue.
class IFileMessages {
public:
    virtual ~IFileMessages() = default;
    // fileOffer, fileChunk or fileEnd of an authorised client.
    virtual void handleFileMessage(MessageType type, Bytes body,
                                   const std::shared_ptr<RemoteClient>& client) = 0;
    // Closes and deletes the client's unfinished incoming files.
    virtual void cancelAll(const std::shared_ptr<RemoteClient>& client) = 0;
};

}  // namespace orvane
