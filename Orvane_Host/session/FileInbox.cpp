#include "Orvane_Host/session/FileInbox.h"

#include <algorithm>

#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/files/FileSender.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/RemoteClient.h"

namespace orvane {

FileInbox::FileInbox(std::filesystem::path folder) : folder_(std::move(folder)) {}

void FileInbox::setOnReceived(Received handler) {
    std::lock_guard g(mutex_);
    onReceived_ = std::move(handler);
}

void FileInbox::sending(const std::shared_ptr<RemoteClient>& client,
                        std::weak_ptr<FileSender> sender) {
    std::lock_guard g(mutex_);
    auto& list = outgoing_[client->id];
    std::erase_if(list, [](const auto& s) { return s.expired(); });
    list.push_back(std::move(sender));
}

bool FileInbox::stopOutgoing(const Uuid& client, const Uuid& id) {
    std::shared_ptr<FileSender> sender;
    {
        std::lock_guard g(mutex_);
        auto it = outgoing_.find(client);
        if (it == outgoing_.end()) return false;
        for (const auto& weak : it->second)
            if (auto s = weak.lock(); s && s->offer().id == id) sender = std::move(s);
    }
    if (!sender) return false;
    sender->receiverEnded();
    return true;
}

void FileInbox::handleFileMessage(MessageType type, Bytes body,
                                  const std::shared_ptr<RemoteClient>& client) {
    auto receiver = client->files(folder_);
    try {
        switch (type) {
            case MessageType::fileOffer:
                if (auto offer = json::decode<FileOffer>(body)) receiver->begin(*offer);
                return;
            case MessageType::fileChunk:
                receiver->append(body);
                return;
            case MessageType::fileEnd: {
                auto end = json::decode<FileEnd>(body);
                if (!end || stopOutgoing(client->id, end->id)) return;
                auto done = receiver->end(*end);
                if (!done) return;
                Received handler;
                {
                    std::lock_guard g(mutex_);
                    handler = onReceived_;
                }
                if (handler) handler(done->url, client);
                return;
            }
            default:
                return;
        }
    } catch (const FileTransferError& e) {
        log_.error("file transfer failed: {}", e.what());
        if (auto id = e.ended())
            if (auto bytes = json::encode(FileEnd{*id, true}))
                client->connection->send(MessageType::fileEnd, std::move(*bytes));
    } catch (const std::exception& e) {
        log_.error("file transfer failed: {}", e.what());
    }
}

void FileInbox::cancelAll(const std::shared_ptr<RemoteClient>& client) {
    client->files(folder_)->cancelAll();
    std::lock_guard g(mutex_);
    outgoing_.erase(client->id);
}

}  // namespace orvane
