#include "OrvaneKit/reach/WakeOnLAN.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(WakeOnLAN, MagicPacketFromAddressTexts) {
    const Bytes mac = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
    struct Case {
        const char* text;
        bool packet;
    } cases[] = {
        {"00:11:22:AA:bb:cc", true},
        {"00-11-22-aa-BB-CC", true},
        {"00::11:22:aa::bb:cc::", true},  // doubled separators make no empty groups
        {"00:11:22:aa:bb:cc:zz", true},   // a group that is not hex is skipped
        {"00:11:22:aa:bb:1FF:cc", true},  // so is one of three digits
        {"00:11:22:aa:bb", false},        // five groups
        {"00:11:22:aa:bb:cc:dd", false},  // seven
        {"", false},
    };
    for (const auto& c : cases) {
        auto p = WakeOnLAN::magicPacket(c.text);
        ASSERT_EQ(p.has_value(), c.packet) << c.text;
        if (!p) continue;
        ASSERT_EQ(p->size(), 102u) << c.text;
        EXPECT_EQ(Bytes(p->begin(), p->begin() + 6), Bytes(6, 0xFF)) << c.text;
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(Bytes(p->begin() + 6 + 6 * i, p->begin() + 12 + 6 * i), mac)
                << c.text << " repeat " << i;
    }
}

}  // namespace
}  // namespace orvane
