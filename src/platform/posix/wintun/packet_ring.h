#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace orvo_vpn_win_svc::wintun {

// A ring of bytes that hands out packet buffers in order at its tail and takes them back in any
// order; the space of a returned buffer is reused once every buffer before it is back too, as
// in Wintun's own rings. Each buffer is preceded by an 8-byte slot header inside the ring, and
// slots start on 8-byte boundaries. Not thread-safe: its owner serialises the calls.
class PacketRing {
 public:
  // `capacity` is a multiple of 8.
  explicit PacketRing(uint32_t capacity) : capacity_(capacity), bytes_(new uint8_t[capacity]) {}

  // A buffer of `size` bytes (at least 1) at the tail, or null when the ring has no room for it.
  uint8_t* Reserve(uint32_t size) {
    if (size == 0 || size > capacity_ - kHeaderSize) {
      return nullptr;
    }
    const uint32_t total = SlotSize(size);
    if (total > capacity_) {
      return nullptr;
    }
    if (used_ == 0) {
      head_ = 0;
      tail_ = 0;
    }
    if (used_ > 0 && tail_ <= head_) {
      // Wrapped (or exactly full): the free space lies between tail and head.
      if (total > head_ - tail_) {
        return nullptr;
      }
    } else if (total > capacity_ - tail_) {
      // Not enough room before the end: pad to the end and start again at the beginning, if
      // the free space there is large enough.
      if (total > head_) {
        return nullptr;
      }
      const uint32_t padding = capacity_ - tail_;
      WriteHeader(tail_, {padding - kHeaderSize, kPadding});
      used_ += padding;
      tail_ = 0;
    }
    WriteHeader(tail_, {size, kInUse});
    last_ = tail_;
    tail_ = Advance(tail_, total);
    used_ += total;
    return bytes_.get() + last_ + kHeaderSize;
  }

  // Shrinks the buffer that the latest Reserve gave to `size` bytes; 0 hands it back at once.
  // Only valid right after that Reserve.
  void ShrinkLast(uint32_t size) {
    if (last_ == kNone) {
      return;
    }
    const SlotHeader header = ReadHeader(last_);
    if (size > header.size) {
      return;
    }
    const uint32_t old_total = SlotSize(header.size);
    const uint32_t new_total = size == 0 ? 0 : SlotSize(size);
    used_ -= old_total - new_total;
    tail_ = Advance(last_, new_total);
    if (size != 0) {
      WriteHeader(last_, {size, kInUse});
    }
    last_ = kNone;
    Reclaim();
  }

  // The size of a buffer handed out and not yet released; nothing for any other pointer.
  std::optional<uint32_t> SizeOf(const uint8_t* packet) const {
    const std::optional<uint32_t> offset = FindSlot(packet);
    if (!offset) {
      return std::nullopt;
    }
    return ReadHeader(*offset).size;
  }

  // Takes a buffer back; false when `packet` is not a buffer of this ring that is still out.
  bool Release(const uint8_t* packet) {
    const std::optional<uint32_t> offset = FindSlot(packet);
    if (!offset) {
      return false;
    }
    SlotHeader header = ReadHeader(*offset);
    header.state = kReleased;
    WriteHeader(*offset, header);
    if (*offset == last_) {
      last_ = kNone;
    }
    Reclaim();
    return true;
  }

  // Bytes held by slots (headers and padding included); 0 when every buffer is back.
  uint32_t UsedBytes() const { return used_; }

 private:
  struct SlotHeader {
    uint32_t size;
    uint32_t state;
  };
  static constexpr uint32_t kHeaderSize = sizeof(SlotHeader);
  static constexpr uint32_t kInUse = 1;
  static constexpr uint32_t kReleased = 2;
  static constexpr uint32_t kPadding = 3;
  static constexpr uint32_t kNone = UINT32_MAX;

  static constexpr uint32_t SlotSize(uint32_t size) {
    return kHeaderSize + ((size + kHeaderSize - 1) & ~(kHeaderSize - 1));
  }

  uint32_t Advance(uint32_t offset, uint32_t bytes) const {
    const uint32_t next = offset + bytes;
    return next == capacity_ ? 0 : next;
  }

  SlotHeader ReadHeader(uint32_t offset) const {
    SlotHeader header;
    std::memcpy(&header, bytes_.get() + offset, sizeof(header));
    return header;
  }

  void WriteHeader(uint32_t offset, SlotHeader header) {
    std::memcpy(bytes_.get() + offset, &header, sizeof(header));
  }

  // The offset of the slot whose buffer is `packet`, when that slot is still out.
  std::optional<uint32_t> FindSlot(const uint8_t* packet) const {
    uint32_t offset = head_;
    uint32_t remaining = used_;
    while (remaining > 0) {
      const SlotHeader header = ReadHeader(offset);
      if (bytes_.get() + offset + kHeaderSize == packet) {
        return header.state == kInUse ? std::optional<uint32_t>(offset) : std::nullopt;
      }
      const uint32_t total = SlotSize(header.size);
      remaining -= total;
      offset = Advance(offset, total);
    }
    return std::nullopt;
  }

  // Frees the slots at the head that are back (or padding), up to the first one still out.
  void Reclaim() {
    while (used_ > 0) {
      const SlotHeader header = ReadHeader(head_);
      if (header.state == kInUse) {
        return;
      }
      const uint32_t total = SlotSize(header.size);
      used_ -= total;
      head_ = Advance(head_, total);
    }
    head_ = 0;
    tail_ = 0;
  }

  const uint32_t capacity_;
  const std::unique_ptr<uint8_t[]> bytes_;
  uint32_t head_ = 0;  // the oldest slot
  uint32_t tail_ = 0;  // where the next slot goes
  uint32_t used_ = 0;
  uint32_t last_ = kNone;  // the latest reservation, while it may still shrink
};

}  // namespace orvo_vpn_win_svc::wintun
