#include "Orvane_Host/browser/BrowserTLS.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace orvane {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CertificateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("orvane-browser-tls-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "tmp");
    }
    void TearDown() override { fs::remove_all(root_); }

    BrowserTLS make(std::string tool = "/usr/bin/openssl", std::string name = "Test Box") {
        return BrowserTLS(
            {settings_, file(), root_ / "tmp", [name] { return name; }, std::move(tool)});
    }
    fs::path file() const { return root_ / "data" / "Orvane Host" / "browser-tls.p12"; }
    bool tempIsEmpty() const { return fs::is_empty(root_ / "tmp"); }

    fs::path root_;
    MemorySettingsStore settings_;
};

TEST(CertificateSubject, SubjectKeepsAsciiWithoutSlashAndEscapesSyntax) {
    struct Case {
        const char* name;
        const char* safe;
        const char* argument;
    };
    const Case cases[] = {
        {"Anna's / Mac", "Anna's  Mac", "/CN=Orvane Host (Anna's  Mac)"},
        {"Caf\xc3\xa9 Box", "Caf Box", "/CN=Orvane Host (Caf Box)"},
        {"\xe6\x97\xa5\xe6\x9c\xac", "", "/CN=Orvane Host ()"},
        {"a+b=c\\d", "a+b=c\\d", "/CN=Orvane Host (a\\+b\\=c\\\\d)"},
        {"", "", "/CN=Orvane Host ()"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BrowserTLS::subjectSafeName(c.name), c.safe) << c.name;
        EXPECT_EQ(BrowserTLS::subjectArgument(c.safe), c.argument) << c.name;
    }
}

TEST_F(CertificateFiles, MakesAPrivateIdentityOnceAndLoadsItAfterwards) {
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
    // A name with every character the subject syntax would misread.
    auto tls = make("/usr/bin/openssl", "Box + 1 = \\ / caf\xc3\xa9");
    auto id = tls.identity();
    ASSERT_TRUE(id);
    EXPECT_EQ(id->commonName(), "Orvane Host (Box + 1 = \\  caf)");
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(file().parent_path()), 0700u);
    EXPECT_TRUE(tempIsEmpty());
    auto pass = settings_.string(BrowserTLS::passphraseKey);
    ASSERT_TRUE(pass);
    EXPECT_EQ(pass->size(), 32u);

    // Cached: the file is not read again.
    const std::string bytes = slurp(file());
    fs::remove(file());
    EXPECT_EQ(tls.identity(), id);
    std::ofstream(file(), std::ios::binary) << bytes;

    // A new process loads the same file and makes nothing.
    auto again = make("/bin/false").identity();
    ASSERT_TRUE(again);
    EXPECT_EQ(slurp(file()), bytes);

    // Without its passphrase the file is useless: a new identity replaces it.
    settings_.remove(BrowserTLS::passphraseKey);
    auto fresh = make().identity();
    ASSERT_TRUE(fresh);
    EXPECT_NE(slurp(file()), bytes);
    EXPECT_NE(settings_.string(BrowserTLS::passphraseKey), pass);
    EXPECT_EQ(modeOf(file()), 0600u);
}

TEST_F(CertificateFiles, AFailingToolLeavesNothingBehindAndIsTriedAgain) {
    for (const char* tool : {"/nonexistent/openssl", "/bin/false"}) {
        auto tls = make(tool);
        EXPECT_FALSE(tls.identity()) << tool;
        EXPECT_FALSE(fs::exists(file())) << tool;
        EXPECT_FALSE(settings_.string(BrowserTLS::passphraseKey)) << tool;
        EXPECT_TRUE(tempIsEmpty()) << tool;
    }
    // A corrupt file with a passphrase is replaced too.
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
    fs::create_directories(file().parent_path());
    std::ofstream(file()) << "not a certificate";
    settings_.setString(BrowserTLS::passphraseKey, "x");
    EXPECT_TRUE(make().identity());
}

TEST_F(CertificateFiles, PassphraseReachesTheToolOnADescriptorNotItsArguments) {
    // A stand-in tool that records its arguments and what descriptor 3 holds.
    const fs::path tool = root_ / "tool.sh";
    const fs::path record = root_ / "record";
    std::ofstream(tool) << "#!/bin/sh\necho \"$*\" >> '" << record.string()
                        << "'\nif [ \"$1\" = pkcs12 ]; then cat <&3 >> '" << record.string()
                        << "'; fi\nexit 0\n";
    fs::permissions(tool, fs::perms::owner_all);
    auto tls = make(tool.string());
    EXPECT_FALSE(tls.identity());  // its files are not a real identity
    const std::string seen = slurp(record);
    auto lines = seen.substr(seen.find("pkcs12"));
    EXPECT_NE(lines.find("-passout fd:3"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("pass:"), std::string::npos) << seen;
    // The last line is what the tool read from descriptor 3: a 32-character passphrase.
    auto last = lines.substr(lines.find('\n') + 1);
    EXPECT_EQ(last.size(), 33u) << last;
    EXPECT_TRUE(tempIsEmpty());
}

}  // namespace
}  // namespace orvane
