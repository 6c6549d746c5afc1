#include "platform/bluez/peer_identifier.h"

#include <gtest/gtest.h>

namespace merriphonic {
namespace {

TEST(PeerIdentifierTest, IsAVersion5UuidOfTheAddressPair) {
    // Cross-checked with an independent UUIDv5 implementation over the same namespace.
    EXPECT_EQ(peerIdentifier("00:AA:01:00:00:00", "00:AA:01:01:00:01"),
              "1C8F6256-24BE-570B-8847-C5DA7B3EBD5B");
    EXPECT_EQ(peerIdentifier("00:AA:01:01:00:01", "00:AA:01:00:00:00"),
              "313FD6C9-0A27-56C6-97A0-09A32CD2E4B0");
    // Stable whatever the case the addresses come in.
    EXPECT_EQ(peerIdentifier("00:aa:01:00:00:00", "00:aa:01:01:00:01"),
              "1C8F6256-24BE-570B-8847-C5DA7B3EBD5B");
}

} // namespace
} // namespace merriphonic
