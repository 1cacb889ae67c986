#include "OrvaneKit/security/SecureIdentity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kApp = "com.nimbrel.kelsap.host";
const std::string kService = "com.nimbrel.kelsap.identity.com.nimbrel.kelsap.host";
const KeychainItemId kSeedId{kService, SecureIdentity::seedAccount, std::nullopt};

std::optional<std::string> stored(MemorySecretStore& store, const std::string& account) {
    auto r = store.read({kService, account, std::nullopt});
    if (r.status != KeychainStatus::success) return std::nullopt;
    return r.value;
}

TEST(SecureIdentity, FingerprintFormat) {
    EXPECT_EQ(SecureIdentity::fingerprint(asBytes("abc")),
              "BA78 16BF 8F01 CFEA 4141 40DE 5DAE 2223");
    EXPECT_EQ(SecureIdentity::fingerprint({}), "E3B0 C442 98FC 1C14 9AFB F4C8 996F B924");
    const std::string fp = SecureIdentity::fingerprint(Bytes(2592, 0x5A));
    ASSERT_EQ(fp.size(), 39u);
    EXPECT_TRUE(std::regex_match(fp, std::regex("([0-9A-F]{4} ){7}[0-9A-F]{4}"))) << fp;
}

TEST(SecureIdentity, NewKeyIsStoredAndFoundAgain) {
    MemorySecretStore store;
    DeterministicRandom random(asBytes("identity"));
    SecureIdentity first(store, kApp, random);
    EXPECT_EQ(first.service(), kService);
    EXPECT_FALSE(first.isHardwareBacked());
    EXPECT_FALSE(SecureIdentity::canUseBiometric());

    auto seedText = stored(store, SecureIdentity::seedAccount);
    ASSERT_TRUE(seedText);
    EXPECT_TRUE(std::regex_match(*seedText, std::regex("[A-Za-z0-9+/]{43}=")));
    EXPECT_EQ(first.publicKey(), MlDsa87::keyGen(*base64Decode(*seedText)).publicKey);
    EXPECT_EQ(first.publicKey().size(), 2592u);

    SecureIdentity again(store, kApp);
    EXPECT_EQ(again.fingerprint(), first.fingerprint());
    EXPECT_EQ(store.items().size(), 1u);

    const Bytes sig = again.sign(asBytes("transcript"));
    EXPECT_EQ(sig.size(), 4627u);
    EXPECT_TRUE(MlDsa87::verify(first.publicKey(), asBytes("transcript"), sig));

    // Each application has its own identity.
    SecureIdentity viewer(store, "com.nimbrel.kelsap.viewer");
    EXPECT_NE(viewer.fingerprint(), first.fingerprint());

    // Without its seed the next start makes a new one.
    store.remove(kSeedId);
    SecureIdentity fresh(store, kApp);
    EXPECT_NE(fresh.fingerprint(), first.fingerprint());
    EXPECT_TRUE(stored(store, SecureIdentity::seedAccount));
}

TEST(SecureIdentity, ReadErrorLeavesTheStoredSeedAlone) {
    MemorySecretStore store;
    const std::string fp = SecureIdentity(store, kApp).fingerprint();
    const auto before = store.items();
    const std::size_t writes = store.writeCount();

    store.setReadError(true);
    EXPECT_THROW(SecureIdentity(store, kApp), PlatformError);
    EXPECT_EQ(store.writeCount(), writes);

    store.setReadError(false);
    EXPECT_EQ(store.items().size(), before.size());
    EXPECT_EQ(SecureIdentity(store, kApp).fingerprint(), fp);
}

TEST(SecureIdentity, UndecodableSeedIsKeptAside) {
    for (const std::string bad : {"not base64!", "AAAA", ""}) {
        MemorySecretStore store;
        store.add(kSeedId, bad, false);
        SecureIdentity id(store, kApp);
        auto seed = stored(store, SecureIdentity::seedAccount);
        ASSERT_TRUE(seed);
        EXPECT_EQ(base64Decode(*seed)->size(), 32u);
        bool kept = false;
        for (const auto& item : store.items())
            kept |= item.id.account.starts_with("identity.mldsa87.seed.unreadable-") &&
                    item.value == bad;
        EXPECT_TRUE(kept) << bad;
    }
    // When it cannot be kept aside, nothing is replaced.
    MemorySecretStore store;
    store.add(kSeedId, "garbage", false);
    store.setAddResult(KeychainStatus::ioError);
    EXPECT_THROW(SecureIdentity(store, kApp), PlatformError);
    EXPECT_EQ(stored(store, SecureIdentity::seedAccount), "garbage");
}

TEST(SecureIdentity, EnclaveItemIsIgnoredAndLeft) {
    MemorySecretStore store;
    store.add({kService, SecureIdentity::enclaveAccount, std::nullopt}, base64Encode(Bytes(100, 1)),
              false);
    SecureIdentity id(store, kApp);
    EXPECT_FALSE(id.isHardwareBacked());
    EXPECT_TRUE(stored(store, SecureIdentity::enclaveAccount));
    EXPECT_TRUE(stored(store, SecureIdentity::seedAccount));
}

TEST(SecureIdentity, Biometric) {
    MemorySecretStore store;
    SecureIdentity id(store, kApp);
    const std::string fp = id.fingerprint();
    const auto items = store.items().size();

    try {
        id.setBiometric(true);
        ADD_FAILURE() << "biometric switched on";
    } catch (const SecureIdentity::IdentityError& e) {
        EXPECT_EQ(e.kind(), SecureIdentity::IdentityError::Kind::biometricUnavailable);
    }
    EXPECT_EQ(id.fingerprint(), fp);
    EXPECT_EQ(store.items().size(), items);

    struct Case {
        std::optional<std::string> flag;
        bool expected;
    };
    for (const Case& c : {Case{std::nullopt, false}, Case{"1", true}, Case{"true", false},
                          Case{"11", false}, Case{"", false}}) {
        store.remove({kService, SecureIdentity::biometricFlag, std::nullopt});
        if (c.flag)
            store.add({kService, SecureIdentity::biometricFlag, std::nullopt}, *c.flag, false);
        EXPECT_EQ(id.requiresBiometric(), c.expected) << c.flag.value_or("(absent)");
    }

    // Switching off makes a new software key and drops the flag and any enclave item.
    store.add({kService, SecureIdentity::enclaveAccount, std::nullopt}, "blob", false);
    const std::string oldSeed = *stored(store, SecureIdentity::seedAccount);
    id.setBiometric(false);
    EXPECT_NE(id.fingerprint(), fp);
    EXPECT_FALSE(id.requiresBiometric());
    EXPECT_FALSE(stored(store, SecureIdentity::biometricFlag));
    EXPECT_FALSE(stored(store, SecureIdentity::enclaveAccount));
    EXPECT_NE(*stored(store, SecureIdentity::seedAccount), oldSeed);
    EXPECT_EQ(SecureIdentity(store, kApp).fingerprint(), id.fingerprint());

    // A new key whose seed cannot be stored is not used.
    const std::string current = id.fingerprint();
    store.setWriteError(true);
    EXPECT_THROW(id.setBiometric(false), PlatformError);
    EXPECT_EQ(id.fingerprint(), current);
}

// Two runs of a program over the same keychain file show the same identity.
TEST(SecureIdentity, SurvivesARestartInTheKeychainFile) {
    const fs::path root =
        fs::temp_directory_path() / ("orvane-identity-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);

    auto runOnce = [&]() -> std::string {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            ::setenv("XDG_DATA_HOME", root.c_str(), 1);
            int rc = 1;
            try {
                FileSecretStore store(Paths::applicationSupport() / "orvane" / "keychain.json");
                const std::string fp = SecureIdentity(store, kApp).fingerprint();
                rc = ::write(fds[1], fp.data(), fp.size()) == static_cast<ssize_t>(fp.size()) ? 0
                                                                                              : 1;
            } catch (...) {
            }
            ::_exit(rc);
        }
        ::close(fds[1]);
        std::string out;
        char buf[64];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return out;
    };

    const std::string first = runOnce();
    const std::string second = runOnce();
    EXPECT_EQ(first.size(), 39u);
    EXPECT_EQ(first, second);

    struct stat st {};
    ASSERT_EQ(::stat((root / "orvane" / "keychain.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((root / "orvane").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    fs::remove_all(root);
}

}  // namespace
}  // namespace orvane
