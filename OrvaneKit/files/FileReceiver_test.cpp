#include "OrvaneKit/files/FileReceiver.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <set>
#include <thread>

#include "OrvaneKit/files/testing/ScratchFolder.h"

namespace orvane {
namespace {

FileOffer offer(std::string name, std::int64_t size, std::optional<std::string> purpose = {}) {
    return {Uuid::random(), std::move(name), size, std::move(purpose)};
}

Bytes chunk(const Uuid& id, ByteView data) {
    Bytes body(id.bytes.begin(), id.bytes.end());
    append(body, data);
    return body;
}

Bytes chunk(const Uuid& id, const std::string& text) {
    return chunk(id, asBytes(text));
}

// The folder's visible files, without hidden part files.
std::vector<std::string> visible(const ScratchFolder& dir, const std::string& sub) {
    std::vector<std::string> out;
    for (auto& n : dir.names(sub))
        if (n[0] != '.') out.push_back(n);
    return out;
}

class FileReceiverTest : public ::testing::Test {
protected:
    ScratchFolder dir;
    FileReceiver receiver{dir / "Orvane"};

    std::vector<std::string> names() const { return dir.names("Orvane"); }
};

TEST_F(FileReceiverTest, CompleteTransferLandsUnderItsNameWithSizeAndPurpose) {
    auto o = offer("../x/report.pdf", 11, "print");
    receiver.begin(o);
    EXPECT_EQ(names(), std::vector<std::string>{"." + o.id.string() + ".kelsap-part"});
    receiver.append(chunk(o.id, "hello "));
    receiver.append(chunk(o.id, ""));  // 16 bytes: accepted, adds nothing
    receiver.append(chunk(o.id, "world"));
    auto done = receiver.end({o.id, false});
    ASSERT_TRUE(done);
    EXPECT_EQ(done->url, dir / "Orvane" / "report.pdf");
    EXPECT_EQ(done->size, 11);
    EXPECT_EQ(done->purpose, "print");
    EXPECT_EQ(toString(ScratchFolder::read(done->url)), "hello world");
    EXPECT_EQ(names(), std::vector<std::string>{"report.pdf"});
    EXPECT_EQ(receiver.inProgress(), 0u);
}

TEST_F(FileReceiverTest, EmptyFileCompletesWithoutChunks) {
    auto o = offer("empty.txt", 0);
    receiver.begin(o);
    auto done = receiver.end({o.id, false});
    ASSERT_TRUE(done);
    EXPECT_EQ(std::filesystem::file_size(done->url), 0u);
}

TEST_F(FileReceiverTest, SizeLimitIsTwentyGibibytes) {
    auto atLimit = offer("big", FileReceiver::maximumSize);
    receiver.begin(atLimit);
    EXPECT_EQ(receiver.inProgress(), 1u);

    FileReceiver other(dir / "Other");
    auto over = offer("bigger", FileReceiver::maximumSize + 1);
    try {
        other.begin(over);
        FAIL() << "accepted";
    } catch (const FileTransferError& e) {
        EXPECT_EQ(e.error().kind, FileError::Kind::outOfSpace);
        EXPECT_EQ(e.error().code, 640);
        EXPECT_EQ(e.ended(), over.id);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "Other"));
    other.append(chunk(over.id, "x"));
    EXPECT_FALSE(other.end({over.id, false}));
}

TEST_F(FileReceiverTest, UnfinishedTransfersLeaveNoPartFile) {
    struct Case {
        const char* what;
        std::int64_t offered;
        std::string data;
        bool cancelled;
    } cases[] = {
        {"short end", 10, "12345", false},
        {"cancelled end", 5, "12345", true},
        {"cancelled empty", 0, "", true},
    };
    for (const auto& c : cases) {
        auto o = offer("f.txt", c.offered);
        receiver.begin(o);
        receiver.append(chunk(o.id, c.data));
        EXPECT_FALSE(receiver.end({o.id, c.cancelled})) << c.what;
        EXPECT_TRUE(names().empty()) << c.what;
    }
}

TEST_F(FileReceiverTest, IgnoresShortBodiesUnknownIdsAndUnknownEnds) {
    auto o = offer("f.txt", 3);
    receiver.begin(o);
    receiver.append(Bytes(15, 0xAB));
    receiver.append(chunk(Uuid::random(), "zzz"));
    EXPECT_FALSE(receiver.end({Uuid::random(), false}));
    receiver.append(chunk(o.id, "abc"));
    auto done = receiver.end({o.id, false});
    ASSERT_TRUE(done);
    EXPECT_EQ(toString(ScratchFolder::read(done->url)), "abc");
}

TEST_F(FileReceiverTest, DataPastTheOfferedSizeEndsTheTransfer) {
    auto o = offer("grown.bin", 4);
    receiver.begin(o);
    receiver.append(chunk(o.id, "abc"));
    try {
        receiver.append(chunk(o.id, "de"));
        FAIL() << "wrote past the offered size";
    } catch (const FileTransferError& e) {
        EXPECT_EQ(e.error().kind, FileError::Kind::unknownWrite);
        EXPECT_EQ(e.error().code, 512);
        EXPECT_EQ(e.ended(), o.id);
    }
    EXPECT_TRUE(names().empty());
    receiver.append(chunk(o.id, "d"));
    EXPECT_FALSE(receiver.end({o.id, false}));
    EXPECT_TRUE(names().empty());
}

TEST_F(FileReceiverTest, RepeatedOfferRestartsWithAnEmptyPartFile) {
    auto o = offer("again.txt", 3);
    receiver.begin(o);
    receiver.append(chunk(o.id, "xy"));
    receiver.begin(o);
    EXPECT_EQ(std::filesystem::file_size(receiver.partFile(o.id)), 0u);
    receiver.append(chunk(o.id, "abc"));
    auto done = receiver.end({o.id, false});
    ASSERT_TRUE(done);
    EXPECT_EQ(toString(ScratchFolder::read(done->url)), "abc");
}

TEST_F(FileReceiverTest, SameNamesAreNumbered) {
    std::vector<std::string> landed;
    for (int i = 0; i < 3; ++i) {
        auto o = offer("report.pdf", 1);
        receiver.begin(o);
        receiver.append(chunk(o.id, std::to_string(i)));
        landed.push_back(receiver.end({o.id, false})->url.filename().string());
    }
    EXPECT_EQ(landed, (std::vector<std::string>{"report.pdf", "report 2.pdf", "report 3.pdf"}));
    auto o = offer("notes", 0);
    receiver.begin(o);
    receiver.end({o.id, false});
    auto o2 = offer("notes", 0);
    receiver.begin(o2);
    EXPECT_EQ(receiver.end({o2.id, false})->url.filename(), "notes 2");
}

TEST_F(FileReceiverTest, CancelAllAndReleaseDeleteEveryPartFile) {
    for (int i = 0; i < 3; ++i) receiver.begin(offer("f", 10));
    receiver.cancelAll();
    EXPECT_TRUE(names().empty());
    {
        FileReceiver gone(dir / "Orvane");
        gone.begin(offer("f", 10));
        EXPECT_EQ(names().size(), 1u);
    }
    EXPECT_TRUE(names().empty());
}

// A write that the system refuses (here a file-size limit; a full disk looks the same) ends the
// transfer and takes its part file along. Run in a child, as the limit is process-wide.
TEST_F(FileReceiverTest, WriteFailureEndsTheTransferAndDeletesThePart) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        FileReceiver r(dir / "Limited");
        auto o = offer("big.bin", 300000);
        r.begin(o);
        Bytes data(65536, 7);
        int status = 10;
        try {
            for (int i = 0; i < 4; ++i) r.append(chunk(o.id, data));
        } catch (const FileTransferError& e) {
            status = e.error().kind == FileError::Kind::system && e.error().code == EFBIG &&
                             e.ended() == o.id
                         ? 0
                         : 11;
        }
        if (status == 0 && !dir.names("Limited").empty()) status = 12;
        if (status == 0 && r.end({o.id, false})) status = 13;
        ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no error, 11: wrong error, 12: part left, 13: ended";
}

// Two peers whose files of one name finish at the same moment, on their own queues: neither
// replaces the other.
TEST(FileReceiverConcurrency, SameNameFinishingTogetherKeepsEveryFile) {
    ScratchFolder dir;
    constexpr int peers = 4, rounds = 25;
    std::barrier sync(peers);
    std::vector<std::thread> threads;
    for (int p = 0; p < peers; ++p)
        threads.emplace_back([&, p] {
            FileReceiver r(dir / "Orvane");
            for (int i = 0; i < rounds; ++i) {
                auto o = offer("report.pdf", 8);
                r.begin(o);
                char text[9];
                std::snprintf(text, sizeof text, "p%dr%04d", p, i);
                r.append(chunk(o.id, std::string(text, 8)));
                sync.arrive_and_wait();
                r.end({o.id, false});
            }
        });
    for (auto& t : threads) t.join();
    auto files = visible(dir, "Orvane");
    ASSERT_EQ(files.size(), static_cast<std::size_t>(peers * rounds));
    std::set<std::string> contents;
    for (const auto& f : files) contents.insert(toString(ScratchFolder::read(dir / "Orvane" / f)));
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(peers * rounds));
}

}  // namespace
}  // namespace orvane
