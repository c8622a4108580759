#include "platform/posix/wintun/packet_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvo_vpn_win_svc::wintun {
namespace {

// Slots take an 8-byte header and round their buffer up to 8 bytes.
constexpr uint32_t Slot(uint32_t size) {
  return 8 + (size + 7) / 8 * 8;
}

TEST(PacketRing, HandsOutBuffersInOrderAndReusesSpaceOnlyOnceTheOldestIsBack) {
  PacketRing ring(4 * Slot(100));
  uint8_t* first = ring.Reserve(100);
  uint8_t* second = ring.Reserve(100);
  uint8_t* third = ring.Reserve(100);
  uint8_t* fourth = ring.Reserve(100);
  ASSERT_NE(fourth, nullptr);
  EXPECT_EQ(second - first, Slot(100));
  EXPECT_EQ(ring.Reserve(1), nullptr) << "the ring is full";

  // Giving back a later buffer frees nothing while an earlier one is still out.
  EXPECT_TRUE(ring.Release(third));
  EXPECT_EQ(ring.Reserve(1), nullptr);
  EXPECT_TRUE(ring.Release(first));
  EXPECT_EQ(ring.UsedBytes(), 3 * Slot(100)) << "only the first slot is free again";
  uint8_t* fifth = ring.Reserve(100);
  EXPECT_EQ(fifth, first) << "the new buffer wraps to the start";
  EXPECT_TRUE(ring.Release(second));
  EXPECT_TRUE(ring.Release(fourth));
  EXPECT_TRUE(ring.Release(fifth));
  EXPECT_EQ(ring.UsedBytes(), 0u);
}

TEST(PacketRing, PadsToTheEndWhenABufferDoesNotFitBeforeIt) {
  PacketRing ring(1024);
  uint8_t* a = ring.Reserve(400);
  uint8_t* b = ring.Reserve(400);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ring.Reserve(400), nullptr) << "neither the end nor the start has room";
  EXPECT_TRUE(ring.Release(a));
  uint8_t* c = ring.Reserve(400);
  EXPECT_EQ(c, a) << "placed at the start, the tail end padded";
  EXPECT_EQ(ring.UsedBytes(), 1024u) << "with the padding the ring is exactly full";
  EXPECT_EQ(ring.Reserve(1), nullptr);
  EXPECT_TRUE(ring.Release(b));
  EXPECT_EQ(ring.UsedBytes(), Slot(400)) << "the padding went with the slot before it";
  EXPECT_TRUE(ring.Release(c));
  EXPECT_EQ(ring.UsedBytes(), 0u);
  EXPECT_NE(ring.Reserve(1024 - 8), nullptr) << "an empty ring offers all of itself again";
}

TEST(PacketRing, ShrinkingTheLatestReservationGivesItsRestBack) {
  PacketRing ring(4096);
  uint8_t* big = ring.Reserve(4000);
  ASSERT_NE(big, nullptr);
  ring.ShrinkLast(60);
  EXPECT_EQ(ring.SizeOf(big), 60u);
  EXPECT_EQ(ring.UsedBytes(), Slot(60));
  uint8_t* next = ring.Reserve(100);
  EXPECT_EQ(next - big, Slot(60)) << "the next buffer follows the shrunk one";

  uint8_t* abandoned = ring.Reserve(200);
  ring.ShrinkLast(0);
  EXPECT_FALSE(ring.SizeOf(abandoned).has_value());
  EXPECT_EQ(ring.UsedBytes(), Slot(60) + Slot(100));
}

TEST(PacketRing, RefusesPointersItDidNotHandOut) {
  PacketRing ring(1024);
  uint8_t* packet = ring.Reserve(32);
  ASSERT_NE(packet, nullptr);
  std::vector<const uint8_t*> strangers = {nullptr, packet + 1, packet - 8, packet + 40};
  for (const uint8_t* stranger : strangers) {
    EXPECT_FALSE(ring.Release(stranger));
    EXPECT_FALSE(ring.SizeOf(stranger).has_value());
  }
  EXPECT_TRUE(ring.Release(packet));
  EXPECT_FALSE(ring.Release(packet)) << "a buffer is given back once";
}

TEST(PacketRing, RefusesSizesItCannotHold) {
  PacketRing ring(1024);
  EXPECT_EQ(ring.Reserve(0), nullptr);
  EXPECT_EQ(ring.Reserve(1024), nullptr) << "the slot header needs room too";
  EXPECT_EQ(ring.Reserve(UINT32_MAX), nullptr);
  EXPECT_NE(ring.Reserve(1016), nullptr);
}

TEST(PacketRing, SurvivesManyRoundsOfMixedSizes) {
  // A pseudo-random walk that keeps a few buffers out and checks their bytes stay intact.
  PacketRing ring(8192);
  struct Out {
    uint8_t* buffer;
    uint32_t size;
    uint8_t fill;
  };
  std::vector<Out> out;
  uint32_t state = 12345;
  for (int round = 0; round < 5000; ++round) {
    state = state * 1103515245 + 12345;
    const uint32_t size = 1 + (state >> 8) % 1500;
    if (uint8_t* buffer = ring.Reserve(size)) {
      const auto fill = static_cast<uint8_t>(round);
      std::fill(buffer, buffer + size, fill);
      out.push_back({buffer, size, fill});
    }
    if (out.size() > 3 || (state & 0x10000) != 0) {
      const size_t pick = (state >> 20) % (out.size() == 0 ? 1 : out.size());
      if (!out.empty()) {
        const Out gone = out[pick];
        for (uint32_t i = 0; i < gone.size; ++i) {
          ASSERT_EQ(gone.buffer[i], gone.fill) << "round " << round;
        }
        ASSERT_EQ(ring.SizeOf(gone.buffer), gone.size);
        ASSERT_TRUE(ring.Release(gone.buffer));
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(pick));
      }
    }
  }
  for (const Out& rest : out) {
    EXPECT_TRUE(ring.Release(rest.buffer));
  }
  EXPECT_EQ(ring.UsedBytes(), 0u);
}

}  // namespace
}  // namespace orvo_vpn_win_svc::wintun
