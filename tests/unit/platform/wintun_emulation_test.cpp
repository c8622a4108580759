// The Linux emulation of Wintun's library: the packet ring its sessions hand out, and the names
// and descriptions its adapters get.
#include "platform/posix/wintun/adapter_names.h"
#include "platform/posix/wintun/packet_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "support/case_file.h"

namespace orvo_vpn_win_svc::wintun {
namespace {

TEST(PacketRing, StepsGiveTheirTranscripts) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/platform/packet_ring.txt")) {
    PacketRing ring(static_cast<uint32_t>(std::stoul(c["size"])));
    std::vector<uint8_t*> buffers;
    std::string transcript;
    // The steps are the transcript's lines, each up to its " -> ".
    std::istringstream expected(c["transcript"]);
    for (std::string line; std::getline(expected, line);) {
      const std::string step = line.substr(0, line.find(" -> "));
      const std::string verb = step.substr(0, step.find(' '));
      const std::string arg = step.substr(std::min(step.size(), verb.size() + 1));
      const uint8_t* named = arg.starts_with("#") ? buffers.at(std::stoul(arg.substr(1)) - 1) : nullptr;
      const auto n = static_cast<uint32_t>(arg.empty() || named ? 0 : std::stoull(arg));
      transcript += step;
      if (verb == "reserve") {
        uint8_t* buffer = ring.Reserve(n);
        if (buffer) buffers.push_back(buffer);
        transcript += buffer ? " -> #" + std::to_string(buffers.size()) + " at " +
                                   std::to_string(buffer - buffers[0])
                             : " -> none";
      }
      if (verb == "shrink") ring.ShrinkLast(n);
      if (verb == "release") transcript += ring.Release(named) ? " -> yes" : " -> no";
      if (verb == "size") {
        const auto size = ring.SizeOf(named);
        transcript += " -> " + (size ? std::to_string(*size) : "none");
      }
      if (verb == "used") transcript += " -> " + std::to_string(ring.UsedBytes());
      transcript += "\n";
    }
    EXPECT_EQ(transcript, c["transcript"]) << c.name;
  }
}

// Adapter names become Linux interface names ("" when refused: never shortened, ASCII only);
// descriptions name Wintun, which the clean-up looks for.
TEST(WintunAdapterNames, MapToInterfaceNamesAndDescriptions) {
  const std::pair<std::wstring, std::string> names[] = {
      {L"ORVO VPN", "ORVO-VPN"}, {L" a b ", "-a-b-"}, {L"exactly-15-char", "exactly-15-char"},
      {L"sixteen-chars-xx", ""}, {L"", ""}, {L".", ""}, {L"..", ""}, {L"a/b", ""},
      {L"a:b", ""}, {L"tab\there", ""}, {L"caf\u00e9", ""}};
  for (const auto& [adapter, name] : names) {
    EXPECT_EQ(LinuxInterfaceName(adapter), name) << WideToUtf8(adapter);
  }
  EXPECT_EQ(AdapterDescription(L"WireGuard"), "WireGuard (Wintun)");
  EXPECT_EQ(AdapterDescription(L""), "Wintun");
  EXPECT_EQ(AdapterDescription(L"T\u00fcnnel"), "T\xc3\xbcnnel (Wintun)");
  EXPECT_EQ(AdapterDescription(std::wstring(246, L'x')).size(), 255u);
  EXPECT_EQ(AdapterDescription(std::wstring(247, L'x')), "") << "longer than an alias";
}

}  // namespace
}  // namespace orvo_vpn_win_svc::wintun
