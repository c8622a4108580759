#include "fakes/fake_wireguard_library.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <utility>

namespace orvo_test {

using orvo_vpn_win_svc::WireGuardResult;

orvo_vpn_win_svc::BoringtunFunctions FakeWireGuard::Table() {
  orvo_vpn_win_svc::BoringtunFunctions table;
  table.wireguard_write = &FakeWireGuard::Write;
  table.wireguard_read = &FakeWireGuard::Read;
  table.wireguard_tick = &FakeWireGuard::Tick;
  table.wireguard_force_handshake = &FakeWireGuard::ForceHandshake;
  return table;
}

void FakeWireGuard::SetHandshakeAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  handshake_ = std::move(answer);
}

void FakeWireGuard::SetTickAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  tick_ = std::move(answer);
}

std::string FakeWireGuard::TakeCalls() {
  std::lock_guard lock(mutex_);
  return std::exchange(calls_, std::string());
}

int FakeWireGuard::Count(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  std::istringstream lines(all_calls_);
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      ++count;
    }
  }
  return count;
}

void FakeWireGuard::Record(const std::string& line) {
  std::lock_guard lock(mutex_);
  calls_ += line + "\n";
  all_calls_ += line + "\n";
}

WireGuardResult FakeWireGuard::Give(const Answer& answer, uint8_t* destination,
                                    uint32_t destination_size) {
  const size_t size = std::min<size_t>(answer.bytes.size(), destination_size);
  std::memcpy(destination, answer.bytes.data(), size);
  return {answer.op, size};
}

WireGuardResult FakeWireGuard::Write(void* tunnel, const uint8_t* source, uint32_t source_size,
                                     uint8_t* destination, uint32_t destination_size) {
  auto& self = *static_cast<FakeWireGuard*>(tunnel);
  self.Record("write " + std::to_string(source_size) + " " + std::to_string(destination_size));
  const std::string packet(reinterpret_cast<const char*>(source), source_size);
  if (!packet.empty() && packet[0] == 'x') {
    return {2, 0};
  }
  return self.Give({1, "wrapped:" + packet}, destination, destination_size);
}

WireGuardResult FakeWireGuard::Read(void* tunnel, const uint8_t* source, uint32_t source_size,
                                    uint8_t* destination, uint32_t destination_size) {
  auto& self = *static_cast<FakeWireGuard*>(tunnel);
  self.Record("read " + std::to_string(source_size) + " " + std::to_string(destination_size));
  const std::string datagram(reinterpret_cast<const char*>(source), source_size);
  const size_t colon = datagram.find(':');
  if (colon == std::string::npos) {
    return {2, 0};
  }
  if (datagram.compare(0, colon, "L") == 0) {
    return {4, size_t{destination_size} + 1};
  }
  return self.Give({std::stoi(datagram.substr(0, colon)), datagram.substr(colon + 1)}, destination,
                   destination_size);
}

WireGuardResult FakeWireGuard::GiveStored(const std::string& call, const Answer& stored,
                                          uint8_t* destination, uint32_t destination_size) {
  Record(call + " " + std::to_string(destination_size));
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    answer = stored;
  }
  return Give(answer, destination, destination_size);
}

WireGuardResult FakeWireGuard::Tick(void* tunnel, uint8_t* destination, uint32_t destination_size) {
  auto& self = *static_cast<FakeWireGuard*>(tunnel);
  return self.GiveStored("tick", self.tick_, destination, destination_size);
}

WireGuardResult FakeWireGuard::ForceHandshake(void* tunnel, uint8_t* destination,
                                              uint32_t destination_size) {
  auto& self = *static_cast<FakeWireGuard*>(tunnel);
  return self.GiveStored("force_handshake", self.handshake_, destination, destination_size);
}

}  // namespace orvo_test
