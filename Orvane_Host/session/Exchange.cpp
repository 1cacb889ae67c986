#include "Orvane_Host/session/Exchange.h"

#include <algorithm>
#include <system_error>

#include "OrvaneKit/files/FileSender.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

namespace {

// A client's connection as the sink of a file sender.
class ClientSink final : public MessageSink {
public:
    explicit ClientSink(std::shared_ptr<ISessionConnection> connection)
        : connection_(std::move(connection)) {}
    void send(MessageType type, Bytes body, Completion done) override {
        connection_->send(type, std::move(body), std::move(done));
    }

private:
    std::shared_ptr<ISessionConnection> connection_;
};

std::string trimmedText(const std::string& text) {
    auto isSpace = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::size_t first = 0, last = text.size();
    while (first < last && isSpace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && isSpace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

void removeIfPresent(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
}

}  // namespace

Exchange::Exchange(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {
    host_.setScreenRecordingGranted(s_.screens.canCapture());
    host_.setAccessibilityGranted(s_.injector.canPost());
    host_.setLaunchAtLoginField(s_.loginItem.status() == LoginItem::Status::enabled);
    MainActor& main = s_.mainActor;
    s_.files.setOnReceived(
        [&main, core = core_, this](const std::filesystem::path& file,
                                    const std::shared_ptr<RemoteClient>& client) {
            main.post([core, this, file, client] {
                if (auto keep = core.lock()) fileReceived(file, client);
            });
        });
}

void Exchange::startPolling() {
    onMainActor();
    pollTimer_ =
        s_.timers.every(pollInterval, s_.mainActor.executor(), whileAlive([this] { pollTick(); }));
}

void Exchange::stopPolling() {
    pollTimer_.cancel();
    pollTimer_ = {};
}

Exchange::Clients Exchange::authorised() const {
    Clients out;
    for (const auto& c : host_.clients())
        if (c->authorized()) out.push_back(c);
    return out;
}

void Exchange::refreshPermissions() {
    bool screen = s_.screens.canCapture();
    if (screen != host_.screenRecordingGranted()) host_.setScreenRecordingGranted(screen);
    bool input = s_.injector.canPost();
    if (input != host_.accessibilityGranted()) host_.setAccessibilityGranted(input);
}

void Exchange::pollTick() {
    onMainActor();
    refreshPermissions();
    if (!host_.shareClipboard()) return;
    auto count = s_.pasteboard.changeCount();
    if (count == host_.pasteboardCount()) return;
    // Taken before the text is read: a text that is not sent is not offered again.
    host_.setPasteboardCount(count);
    auto text = s_.pasteboard.string();
    if (!text || text->size() > largestClipboard) return;
    auto body = json::encode(Clipboard{*text});
    if (!body) return;
    for (const auto& c : authorised()) c->connection->send(MessageType::clipboard, *body);
}

void Exchange::sendChat(const std::string& text) {
    onMainActor();
    auto trimmed = trimmedText(text);
    if (trimmed.empty()) return;
    ChatMessage message{Uuid::random(), trimmed, host_.machineName(),
                        Date::fromTimePoint(s_.clock.wallNow())};
    auto list = host_.chat();
    list.push_back(message);
    host_.setChat(std::move(list));
    auto body = json::encode(message);
    if (!body) return;
    for (const auto& c : authorised()) c->connection->send(MessageType::chat, *body);
}

void Exchange::chooseFilesToSend() {
    onMainActor();
    s_.filePicker.chooseFiles(chooseMessage, chooseButton,
                              whileAlive([this](std::vector<std::filesystem::path> files) {
                                  if (files.empty()) return;
                                  for (const auto& c : authorised()) sendFiles(files, c);
                              }));
}

void Exchange::sendFiles(std::vector<std::filesystem::path> files,
                         const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    if (files.empty()) return;
    auto file = files.front();
    std::vector<std::filesystem::path> rest(files.begin() + 1, files.end());
    std::shared_ptr<FileSender> sender;
    try {
        sender = FileSender::make(file, std::make_shared<ClientSink>(client->connection));
    } catch (const FileTransferError& e) {
        host_.setLastError(e.error().description);
        sendFiles(std::move(rest), client);
        return;
    }
    std::string name = file.filename().string();
    std::string label = name + " \u2192 " + client->displayName();
    auto labels = host_.sendingFiles();
    labels.push_back(label);
    host_.setSendingFiles(std::move(labels));
    s_.files.sending(client, sender);
    MainActor& main = s_.mainActor;
    // Holding the sender keeps it going until it finishes; it lets go of this callback then.
    sender->onFinish = [&main, core = core_, this, sender, label, name, rest,
                        client](std::optional<FileError> error) {
        main.post([core, this, label, name, rest, client, error] {
            auto keep = core.lock();
            if (!keep) return;
            auto labels = host_.sendingFiles();
            std::erase(labels, label);
            host_.setSendingFiles(std::move(labels));
            if (error) host_.setLastError("Couldn't send " + name + ": " + error->description);
            sendFiles(rest, client);
        });
    };
    sender->start();
}

void Exchange::printDocument(const std::filesystem::path& pdf) {
    onMainActor();
    auto list = authorised();
    auto target = std::find_if(list.begin(), list.end(), [](const auto& c) {
        auto hello = c->hello();
        return !hello ||
               (hello->role != ClientRole::screenSharer && hello->platform != ClientPlatform::mac);
    });
    if (target == list.end()) target = list.begin();
    if (target == list.end()) {
        s_.notifier.post("Nothing to print to",
                         "Connect from your iPhone or iPad first, then print with Orvane again.");
        removeIfPresent(pdf);
        return;
    }
    auto client = *target;
    std::shared_ptr<FileSender> sender;
    try {
        sender =
            FileSender::make(pdf, std::make_shared<ClientSink>(client->connection), printPurpose);
    } catch (const FileTransferError&) {
        removeIfPresent(pdf);
        return;
    }
    s_.files.sending(client, sender);
    MainActor& main = s_.mainActor;
    sender->onFinish = [&main, sender, pdf](std::optional<FileError>) {
        // The document goes whatever became of it, even with the host gone.
        main.post([pdf] { removeIfPresent(pdf); });
    };
    sender->start();
    s_.notifier.post("Printing on " + client->displayName(), pdf.stem().string());
}

void Exchange::fileReceived(const std::filesystem::path& file,
                            const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    std::string from = client->displayName();
    auto list = host_.receivedFiles();
    list.insert(list.begin(),
                ReceivedFile{Uuid::random(), file, from, Date::fromTimePoint(s_.clock.wallNow())});
    if (list.size() > receivedFilesKept) list.resize(receivedFilesKept);
    host_.setReceivedFiles(std::move(list));
    s_.notifier.post("Received " + file.filename().string(),
                     "From " + from + " \u00b7 saved to Downloads \u203a Orvane");
}

void Exchange::setLaunchAtLogin(bool on) {
    onMainActor();
    auto error = on ? s_.loginItem.registerItem() : s_.loginItem.unregisterItem();
    if (error)
        host_.setLastError("Couldn't change Open at Login: " + *error);
    else
        host_.setLastError(std::nullopt);
    switch (s_.loginItem.status()) {
        case LoginItem::Status::requiresApproval:
            // No settings page to open here; the banner says where to go.
            host_.setLaunchAtLoginField(false);
            host_.setLastError(approvalNeeded);
            break;
        case LoginItem::Status::enabled:
            host_.setLaunchAtLoginField(true);
            break;
        case LoginItem::Status::notRegistered:
        case LoginItem::Status::notFound:
            host_.setLaunchAtLoginField(false);
            break;
    }
}

std::string Exchange::displayName(std::uint32_t displayID) const {
    if (auto displays = s_.screens.shareableDisplays())
        for (const auto& d : *displays)
            if (d.id == displayID) return d.name;
    return "Display " + std::to_string(displayID);
}

}  // namespace orvane
