#include "Orvane_Host/session/FileInbox.h"

#include <gtest/gtest.h>

#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/files/FileSender.h"
#include "OrvaneKit/files/testing/FakeMessageSink.h"
#include "OrvaneKit/files/testing/ScratchFolder.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {
namespace {

Bytes chunk(const Uuid& id, std::string_view data) {
    Bytes body(id.bytes.begin(), id.bytes.end());
    append(body, asBytes(data));
    return body;
}

struct InboxBench {
    HostHarness h;
    ScratchFolder dir;
    FileInbox inbox{dir / "Orvane"};
    std::shared_ptr<RemoteClient> ann = h.client("Ann");
    std::vector<std::pair<std::filesystem::path, std::string>> received;

    InboxBench() {
        inbox.setOnReceived([this](const std::filesystem::path& f, const auto& client) {
            received.emplace_back(f, client->displayName());
        });
    }
    void deliver(MessageType type, Bytes body) { inbox.handleFileMessage(type, body, ann); }
    void offer(const FileOffer& o) { deliver(MessageType::fileOffer, *json::encode(o)); }
    void end(const Uuid& id, bool cancelled = false) {
        deliver(MessageType::fileEnd, *json::encode(FileEnd{id, cancelled}));
    }
    std::vector<FileEnd> endsSentBack() const {
        std::vector<FileEnd> out;
        for (const auto& s : HostHarness::connectionOf(ann)->sent(MessageType::fileEnd))
            out.push_back(*json::decode<FileEnd>(s.body));
        return out;
    }
    std::vector<std::string> names() const { return dir.names("Orvane"); }
};

TEST(FileInbox, CompletedFileLandsAndIsReported) {
    InboxBench b;
    FileOffer o{Uuid::random(), "notes.txt", 5, std::nullopt};
    b.offer(o);
    b.deliver(MessageType::fileChunk, chunk(o.id, "hello"));
    b.end(o.id);
    ASSERT_EQ(b.received.size(), 1u);
    EXPECT_EQ(b.received[0].first, b.dir / "Orvane" / "notes.txt");
    EXPECT_EQ(b.received[0].second, "Ann");
    EXPECT_EQ(toString(ScratchFolder::read(b.received[0].first)), "hello");
    EXPECT_TRUE(b.endsSentBack().empty());
}

TEST(FileInbox, UnreadableOffersAndEndsAndShortTransfersReportNothing) {
    InboxBench b;
    b.deliver(MessageType::fileOffer, toBytes("{not json"));
    b.deliver(MessageType::fileEnd, toBytes("[]"));
    FileOffer o{Uuid::random(), "short.txt", 10, std::nullopt};
    b.offer(o);
    b.deliver(MessageType::fileChunk, chunk(o.id, "abc"));
    b.end(o.id);
    EXPECT_TRUE(b.received.empty());
    EXPECT_TRUE(b.names().empty());
    EXPECT_TRUE(b.endsSentBack().empty());
}

// What ends a transfer here is told to the sending device, and leaves no part file.
TEST(FileInbox, FailedTransfersAreEndedForTheSender) {
    struct Case {
        const char* what;
        std::int64_t offered;
        std::string data;
    } cases[] = {
        {"offer above the limit", FileReceiver::maximumSize + 1, "x"},
        {"more than offered", 2, "abc"},
    };
    for (const auto& c : cases) {
        InboxBench b;
        FileOffer o{Uuid::random(), "f.bin", c.offered, std::nullopt};
        b.offer(o);
        b.deliver(MessageType::fileChunk, chunk(o.id, c.data));
        b.end(o.id);
        EXPECT_EQ(b.endsSentBack(), (std::vector<FileEnd>{{o.id, true}})) << c.what;
        EXPECT_TRUE(b.received.empty()) << c.what;
        EXPECT_TRUE(b.names().empty()) << c.what;
    }
}

TEST(FileInbox, CancelAllDeletesTheClientsPartFiles) {
    InboxBench b;
    FileOffer o{Uuid::random(), "big.iso", 1000, std::nullopt};
    b.offer(o);
    b.deliver(MessageType::fileChunk, chunk(o.id, "part of it"));
    EXPECT_EQ(b.names().size(), 1u);
    b.inbox.cancelAll(b.ann);
    EXPECT_TRUE(b.names().empty());
}

TEST(FileInbox, ClientsEndOfAFileWeSendStopsTheSender) {
    InboxBench b;
    auto sink = std::make_shared<FakeMessageSink>();
    auto sender = FileSender::make(b.dir.write("out.bin", 300000), sink);
    std::optional<FileError> finished;
    sender->onFinish = [&](std::optional<FileError> e) { finished = e; };
    b.inbox.sending(b.ann, sender);
    sender->start();
    b.end(sender->offer().id, true);
    sink->completeAll();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->kind, FileError::Kind::refused);
    EXPECT_EQ(sink->sent(MessageType::fileChunk).size(), 1u);
}

}  // namespace
}  // namespace orvane
