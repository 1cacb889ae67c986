#include "OrvaneKit/files/FileSender.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/files/testing/FakeMessageSink.h"
#include "OrvaneKit/files/testing/ScratchFolder.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {
namespace {

struct Calls {
    std::vector<double> progress;
    std::vector<std::optional<FileError>> finishes;
};

void watch(FileSender& sender, Calls& run) {
    sender.onProgress = [&run](double f) { run.progress.push_back(f); };
    sender.onFinish = [&run](std::optional<FileError> e) { run.finishes.push_back(std::move(e)); };
}

FileEnd endOf(const FakeMessageSink& sink) {
    auto ends = sink.sent(MessageType::fileEnd);
    EXPECT_EQ(ends.size(), 1u);
    return ends.empty() ? FileEnd{} : *json::decode<FileEnd>(ends.back().body);
}

class FileSenderTest : public ::testing::Test {
protected:
    ScratchFolder dir;
    std::shared_ptr<FakeMessageSink> sink = std::make_shared<FakeMessageSink>();
};

TEST_F(FileSenderTest, SendsOneChunkAtATimeAfterTheOffer) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> chunks;
    } cases[] = {
        {0, {}},
        {1, {1}},
        {65536, {65536}},
        {65537, {65536, 1}},
        {200000, {65536, 65536, 65536, 3392}},
    };
    for (const auto& c : cases) {
        sink = std::make_shared<FakeMessageSink>();
        auto file = dir.write("data.bin", c.size);
        auto sender = FileSender::make(file, sink, "print");
        Calls run;
        watch(*sender, run);
        sender->start();

        auto offers = sink->sent(MessageType::fileOffer);
        ASSERT_EQ(offers.size(), 1u) << c.size;
        auto offered = json::decode<FileOffer>(offers[0].body);
        EXPECT_EQ(offered->name, "data.bin");
        EXPECT_EQ(offered->size, static_cast<std::int64_t>(c.size));
        EXPECT_EQ(offered->purpose, "print");
        while (sink->pending() > 0) {
            EXPECT_EQ(sink->pending(), 1u) << "more than one chunk in flight";
            sink->completeOne();
        }
        auto chunks = sink->sent(MessageType::fileChunk);
        ASSERT_EQ(chunks.size(), c.chunks.size()) << c.size;
        Bytes joined;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].body.size(), 16 + c.chunks[i]);
            EXPECT_TRUE(std::equal(offered->id.bytes.begin(), offered->id.bytes.end(),
                                   chunks[i].body.begin()));
            joined.insert(joined.end(), chunks[i].body.begin() + 16, chunks[i].body.end());
        }
        EXPECT_EQ(joined, ScratchFolder::read(file));
        EXPECT_EQ(endOf(*sink), (FileEnd{offered->id, false}));
        EXPECT_EQ(run.finishes, std::vector<std::optional<FileError>>{std::nullopt});
        EXPECT_EQ(run.progress.size(), c.chunks.size());
        if (!run.progress.empty()) {
            EXPECT_DOUBLE_EQ(run.progress.back(), 1.0);
        }
        EXPECT_EQ(sink->sent().back().type, MessageType::fileEnd);
    }
}

TEST_F(FileSenderTest, StopsWithTheReasonAtTheNextChunk) {
    struct Case {
        const char* what;
        std::function<void(FileSender&, FakeMessageSink&)> act;
        FileError::Kind kind;
        std::size_t chunks;
    } cases[] = {
        {"send failure",
         [](FileSender&, FakeMessageSink& s) {
             s.completeOne(NetError{NetError::Kind::posix, Err::notConnected, "not connected"});
         },
         FileError::Kind::network, 1},
        {"cancel", [](FileSender& f, FakeMessageSink& s) { f.cancel(), s.completeOne(); },
         FileError::Kind::cancelled, 1},
        {"receiver ended",
         [](FileSender& f, FakeMessageSink& s) { f.receiverEnded(), s.completeOne(); },
         FileError::Kind::refused, 1},
    };
    for (const auto& c : cases) {
        sink = std::make_shared<FakeMessageSink>();
        auto sender = FileSender::make(dir.write("f", 300000), sink);
        Calls run;
        watch(*sender, run);
        sender->start();
        c.act(*sender, *sink);
        EXPECT_EQ(sink->sent(MessageType::fileChunk).size(), c.chunks) << c.what;
        EXPECT_TRUE(endOf(*sink).cancelled) << c.what;
        ASSERT_EQ(run.finishes.size(), 1u) << c.what;
        EXPECT_EQ(run.finishes[0]->kind, c.kind) << c.what;
        EXPECT_EQ(sink->pending(), 0u) << c.what;
    }
}

TEST_F(FileSenderTest, UnopenableFileFinishesAtOnceSendingNothing) {
    auto file = dir.write("gone", 10);
    auto sender = FileSender::make(file, sink);
    std::filesystem::remove(file);
    Calls run;
    watch(*sender, run);
    sender->start();
    EXPECT_TRUE(sink->sent().empty());
    ASSERT_EQ(run.finishes.size(), 1u);
    EXPECT_EQ(run.finishes[0]->kind, FileError::Kind::system);
    EXPECT_EQ(run.finishes[0]->code, ENOENT);

    EXPECT_THROW(FileSender::make(dir / "missing", sink), FileTransferError);
    EXPECT_THROW(FileSender::make(dir.path, sink), FileTransferError);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_THROW(FileSender::make(dir / "pipe", sink), FileTransferError);
}

TEST_F(FileSenderTest, SenderLetGoMidTransferStopsSilently) {
    auto sender = FileSender::make(dir.write("f", 200000), sink);
    sender->start();
    sender.reset();
    sink->completeAll();
    EXPECT_EQ(sink->sent(MessageType::fileChunk).size(), 1u);
    EXPECT_TRUE(sink->sent(MessageType::fileEnd).empty());
}

// Sender to receiver through a sink that completes inside send(): a long file goes through
// without the pump nesting deeper per chunk, and arrives identical.
TEST_F(FileSenderTest, RoundTripThroughAReceiver) {
    struct Relay final : MessageSink {
        FileReceiver receiver;
        std::optional<FileReceiver::Completed> done;
        explicit Relay(std::filesystem::path folder) : receiver(std::move(folder)) {}
        void send(MessageType type, Bytes body, Completion completion) override {
            if (type == MessageType::fileOffer) receiver.begin(*json::decode<FileOffer>(body));
            if (type == MessageType::fileChunk) receiver.append(body);
            if (type == MessageType::fileEnd) done = receiver.end(*json::decode<FileEnd>(body));
            if (completion) completion(std::nullopt);
        }
    };
    auto relay = std::make_shared<Relay>(dir / "in");
    auto file = dir.write("big.bin", 40 * FileSender::chunkSize + 123, 5);
    auto sender = FileSender::make(file, relay);
    Calls run;
    watch(*sender, run);
    sender->start();
    ASSERT_TRUE(relay->done);
    EXPECT_EQ(ScratchFolder::read(relay->done->url), ScratchFolder::read(file));
    EXPECT_EQ(run.progress.size(), 41u);
    EXPECT_EQ(run.finishes.size(), 1u);
}

// The file grew after the offer: the sender reads to the end, the receiver stops at the chunk
// that passes the offered size and keeps nothing.
TEST_F(FileSenderTest, FileThatGrewIsDroppedByTheReceiver) {
    auto file = dir.write("grows.log", 100000);
    auto sender = FileSender::make(file, sink);
    dir.write("grows.log", 140000);
    sender->start();
    sink->completeAll();
    FileReceiver receiver(dir / "in");
    receiver.begin(*json::decode<FileOffer>(sink->sent(MessageType::fileOffer)[0].body));
    auto chunks = sink->sent(MessageType::fileChunk);
    ASSERT_EQ(chunks.size(), 3u);
    receiver.append(chunks[0].body);
    EXPECT_THROW(receiver.append(chunks[1].body), FileTransferError);
    EXPECT_TRUE(dir.names("in").empty());
}

}  // namespace
}  // namespace orvane
