#include "OrvaneKit/features/FeatureSwitches.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(FeatureSwitches, Catalogue) {
    const auto& all = FeatureSwitches::all();
    std::vector<std::string> ids;
    for (const auto& f : all) {
        ids.push_back(f.id);
        EXPECT_TRUE(f.declaredInReviewNotes) << f.id;
        EXPECT_EQ(f.defaultsKey.has_value(), f.gate != FeatureSwitch::Gate::alwaysOn) << f.id;
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"natHolePunch", "offNetworkRoutes", "browserAccess",
                                             "unattendedAccess", "sessionRecord"}));
    EXPECT_EQ(FeatureSwitches::browserAccess().title, "Browser access (experimental)");
    EXPECT_EQ(FeatureSwitches::natHolePunch().ships, FeatureSwitch::Ships::both);
    EXPECT_EQ(FeatureSwitches::unattendedAccess().ships, FeatureSwitch::Ships::host);
    EXPECT_EQ(FeatureSwitches::natHolePunch().gate, FeatureSwitch::Gate::developerOnly);
    EXPECT_NE(FeatureSwitches::all()[0], FeatureSwitches::all()[1]);
}

TEST(FeatureSwitches, IsOnReadsTheStoreOnlyWhenSomethingIsStored) {
    MemorySettingsStore store;
    const auto& nat = FeatureSwitches::natHolePunch();
    EXPECT_FALSE(nat.isOn(store));
    store.setBool("natHolePunch", true);
    EXPECT_TRUE(nat.isOn(store));
    store.set("natHolePunch", "on");  // not one of the texts read as true
    EXPECT_FALSE(nat.isOn(store));
    store.set("natHolePunch", "TRUE");
    EXPECT_TRUE(nat.isOn(store));
    store.set("natHolePunch", 2);
    EXPECT_TRUE(nat.isOn(store));

    store.setBool("browserAccess", false);
    EXPECT_FALSE(FeatureSwitches::browserAccess().isOn(store));
    // Entries without a key follow their default whatever is stored.
    store.setBool("offNetworkRoutes", false);
    store.setBool("sessionRecord", false);
    EXPECT_TRUE(FeatureSwitches::offNetworkRoutes().isOn(store));
    EXPECT_TRUE(FeatureSwitches::sessionRecord().isOn(store));
}

TEST(FeatureSwitches, TextValuesMatchExactly) {
    EXPECT_EQ(shipsFromRaw("Host and viewer"), FeatureSwitch::Ships::both);
    EXPECT_EQ(shipsFromRaw("Orvane Host (Mac)"), FeatureSwitch::Ships::host);
    EXPECT_EQ(shipsFromRaw("host"), std::nullopt);
    EXPECT_EQ(rawValue(FeatureSwitch::Ships::viewer), "Orvane viewer");
    EXPECT_EQ(gateFromRaw("alwaysOn"), FeatureSwitch::Gate::alwaysOn);
    EXPECT_EQ(gateFromRaw("AlwaysOn"), std::nullopt);
    EXPECT_EQ(rawValue(FeatureSwitch::Gate::userSetting), "userSetting");
}

}  // namespace
}  // namespace orvane
