#include "OrvaneKit/security/Keychain.h"

#include <gtest/gtest.h>

#include "OrvaneKit/security/testing/MemorySecretStore.h"

namespace orvane {
namespace {

const std::string kService = "com.nimbrel.kelsap";

TEST(Keychain, ReadFindsBothKinds) {
    MemorySecretStore store;
    store.add({kService, "host.accessCode", std::nullopt}, "ABCD-EFGH", true);
    store.add({kService, "host.iCloudToken", std::nullopt}, "token", false);
    EXPECT_EQ(Keychain::read("host.accessCode", kService, std::nullopt, store), "ABCD-EFGH");
    EXPECT_EQ(Keychain::read("host.iCloudToken", kService, std::nullopt, store), "token");
    EXPECT_EQ(Keychain::read("missing", kService, std::nullopt, store), std::nullopt);
    // The access group is part of an item's identity.
    EXPECT_EQ(Keychain::read("host.iCloudToken", kService, "group.com.nimbrel.kelsap", store),
              std::nullopt);
}

TEST(Keychain, ReadRejectsTextThatIsNotUtf8) {
    MemorySecretStore store;
    for (const std::string bad : {std::string("\xC3"), std::string("\xC0\xAF"),
                                  std::string("\xED\xA0\x80"), std::string("ok\xFF")}) {
        store.remove({kService, "item", std::nullopt});
        store.add({kService, "item", std::nullopt}, bad, false);
        EXPECT_EQ(Keychain::read("item", kService, std::nullopt, store), std::nullopt);
        EXPECT_EQ(Keychain::readChecked("item", kService, std::nullopt, store).status,
                  KeychainStatus::notFound);
    }
    store.remove({kService, "item", std::nullopt});
    store.add({kService, "item", std::nullopt}, "Grüße 🌍", false);
    EXPECT_EQ(Keychain::read("item", kService, std::nullopt, store), "Grüße 🌍");
    EXPECT_EQ(Keychain::add("\xFF", "other", kService, false, std::nullopt, store),
              KeychainStatus::refused);
}

TEST(Keychain, ReadErrorIsNotAbsence) {
    MemorySecretStore store;
    store.add({kService, "host.accessCode", std::nullopt}, "code", false);
    store.setReadError(true);
    EXPECT_EQ(Keychain::readChecked("host.accessCode", kService, std::nullopt, store).status,
              KeychainStatus::ioError);
    EXPECT_EQ(Keychain::read("host.accessCode", kService, std::nullopt, store), std::nullopt);
}

TEST(Keychain, AddKeepsAnExistingItem) {
    MemorySecretStore store;
    EXPECT_EQ(Keychain::add("old", "a", kService, false, std::nullopt, store),
              KeychainStatus::success);
    EXPECT_EQ(Keychain::add("new", "a", kService, false, std::nullopt, store),
              KeychainStatus::duplicate);
    EXPECT_EQ(Keychain::read("a", kService, std::nullopt, store), "old");
    Keychain::remove("a", kService, std::nullopt, store);
    Keychain::remove("a", kService, std::nullopt, store);  // missing: no error
    EXPECT_EQ(Keychain::read("a", kService, std::nullopt, store), std::nullopt);
}

TEST(Keychain, SetReplacesEitherKind) {
    MemorySecretStore store;
    store.add({kService, "host.accessCode", std::nullopt}, "synced", true);
    EXPECT_TRUE(Keychain::set("local", "host.accessCode", kService, false, std::nullopt, store));
    ASSERT_EQ(store.items().size(), 1u);
    EXPECT_FALSE(store.items()[0].synchronizable);
    EXPECT_EQ(Keychain::read("host.accessCode", kService, std::nullopt, store), "local");

    EXPECT_TRUE(
        Keychain::set("synced again", "host.accessCode", kService, true, std::nullopt, store));
    ASSERT_EQ(store.items().size(), 1u);
    EXPECT_TRUE(store.items()[0].synchronizable);
}

TEST(Keychain, SetFallsBackToDeviceOnly) {
    MemorySecretStore store;
    store.setRefuseSynchronizable(true);
    EXPECT_TRUE(Keychain::set("code", "host.accessCode", kService, true, std::nullopt, store));
    ASSERT_EQ(store.items().size(), 1u);
    EXPECT_FALSE(store.items()[0].synchronizable);
    EXPECT_EQ(Keychain::read("host.accessCode", kService, std::nullopt, store), "code");
}

// A failed set must not lose the value it was replacing.
TEST(Keychain, FailedSetKeepsTheOldValue) {
    MemorySecretStore store;
    store.add({kService, "host.iCloudToken", std::nullopt}, "old", false);
    store.setWriteError(true);
    EXPECT_FALSE(Keychain::set("new", "host.iCloudToken", kService, true, std::nullopt, store));
    EXPECT_FALSE(Keychain::set("new", "host.iCloudToken", kService, false, std::nullopt, store));
    EXPECT_EQ(Keychain::read("host.iCloudToken", kService, std::nullopt, store), "old");
}

}  // namespace
}  // namespace orvane
