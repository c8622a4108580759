#include "tun_session.h"

#include <unistd.h>

#include <cerrno>

#include "link_control.h"
#include "tun_adapter.h"
#include "tun_device.h"
#include "windows_error.h"

namespace orvo_vpn_win_svc::wintun {

std::unique_ptr<TunSession> TunSession::Start(const TunAdapter& adapter, uint32_t capacity,
                                              uint32_t& error) {
  if (capacity < kMinRingCapacity || capacity > kMaxRingCapacity ||
      (capacity & (capacity - 1)) != 0) {
    error = kErrorInvalidParameter;
    return nullptr;
  }
  TunAttachment attachment;
  const int attach = AttachTunDevice(adapter.LinuxName(), true, attachment);
  if (attach != 0) {
    error = WindowsErrorFromErrno(attach);
    return nullptr;
  }
  // Attaching by name made a new, short-lived device when the adapter's device has gone (it
  // goes again with the descriptor); a device of that name with another index is not ours.
  LinkControl links;
  LinkFacts facts;
  const int found = links.Find(adapter.LinuxName(), facts);
  if (!attachment.was_persistent || (found == 0 && facts.index != adapter.Index())) {
    error = kErrorFileNotFound;
    return nullptr;
  }
  const int raised = found != 0 ? found : links.BringUp(adapter.Index());
  if (raised != 0) {
    error = WindowsErrorFromErrno(raised);
    return nullptr;
  }
  return std::make_unique<TunSession>(std::move(attachment.descriptor), capacity);
}

TunSession::TunSession(platform::FileDescriptor device, uint32_t capacity)
    : device_(std::move(device)), receive_ring_(capacity), send_ring_(capacity) {}

uint8_t* TunSession::Receive(uint32_t& size, uint32_t& error) {
  std::lock_guard lock(receive_mutex_);
  uint8_t* packet = receive_ring_.Reserve(kMaxIpPacketSize);
  if (packet == nullptr) {
    error = kErrorBufferOverflow;
    return nullptr;
  }
  ssize_t length;
  do {
    length = ::read(device_.Get(), packet, kMaxIpPacketSize);
  } while (length < 0 && errno == EINTR);
  if (length <= 0) {
    receive_ring_.ShrinkLast(0);
    error = length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? kErrorNoMoreItems
                                                                    : kErrorHandleEof;
    return nullptr;
  }
  size = static_cast<uint32_t>(length);
  receive_ring_.ShrinkLast(size);
  return packet;
}

bool TunSession::ReleaseReceived(const uint8_t* packet) {
  std::lock_guard lock(receive_mutex_);
  return receive_ring_.Release(packet);
}

uint8_t* TunSession::AllocateSend(uint32_t size, uint32_t& error) {
  if (size == 0 || size > kMaxIpPacketSize) {
    error = kErrorInvalidParameter;
    return nullptr;
  }
  std::lock_guard lock(send_mutex_);
  uint8_t* packet = send_ring_.Reserve(size);
  if (packet == nullptr) {
    error = kErrorBufferOverflow;
  }
  return packet;
}

bool TunSession::Send(const uint8_t* packet) {
  std::lock_guard lock(send_mutex_);
  const std::optional<uint32_t> size = send_ring_.SizeOf(packet);
  if (!size) {
    return false;
  }
  ssize_t written;
  do {
    written = ::write(device_.Get(), packet, *size);
  } while (written < 0 && errno == EINTR);
  send_ring_.Release(packet);
  return true;
}

}  // namespace orvo_vpn_win_svc::wintun
