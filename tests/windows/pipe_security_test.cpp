// The service's pipe carries the descriptor we meant: read back from a real named pipe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "support/platform_kind.h"
#include "support/test_pipe.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

struct Ace {
  bool allow;
  std::wstring sid;  // SDDL alias or S-1-... form
  unsigned long mask;
  bool operator==(const Ace&) const = default;
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const Ace& ace) {
  return out << (ace.allow ? "allow " : "deny ") << std::string(ace.sid.begin(), ace.sid.end())
             << " 0x" << std::hex << ace.mask << std::dec;
}

#ifdef _WIN32
std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) {
    return L"?";
  }
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// The DACL of the pipe `name` as a list of entries, generic rights mapped the way the system
// maps them for files and pipes.
std::vector<Ace> ReadPipeDacl(const std::wstring& name) {
  std::vector<Ace> aces;
  HANDLE pipe = CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open the pipe, error " << GetLastError();
    return aces;
  }
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, &dacl, nullptr, &descriptor);
  CloseHandle(pipe);
  if (error != ERROR_SUCCESS || dacl == nullptr) {
    ADD_FAILURE() << "GetSecurityInfo failed, error " << error;
    return aces;
  }
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) {
      continue;
    }
    const auto* header = static_cast<ACE_HEADER*>(raw);
    const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    // Allowed and denied entries share their layout: header, mask, SID.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    DWORD mask = entry->Mask;
    MapGenericMask(&mask, &mapping);
    aces.push_back({allow, SidText(&entry->SidStart), mask & ~static_cast<DWORD>(GENERIC_ALL)});
  }
  LocalFree(descriptor);
  return aces;
}
#endif

TEST(PipeSecurity, DescriptorGrantsUsersOnlyReadAndWriteAndShutsOutTheNetwork) {
  if (!orvo_test::kWindows) {
    GTEST_SKIP() << "named-pipe security descriptors exist only on Windows";
  }
#ifdef _WIN32
  orvo_test::TestPipe pipe;
  IpcServer server;
  ASSERT_TRUE(server.Start(pipe.Name()));
  const std::vector<Ace> expected = {
      {false, L"S-1-5-2", FILE_ALL_ACCESS},   // network logons
      {false, L"S-1-5-7", FILE_ALL_ACCESS},   // anonymous
      {true, L"S-1-5-18", FILE_ALL_ACCESS},   // LocalSystem
      {true, L"S-1-3-4", FILE_ALL_ACCESS},    // owner rights
      {true, L"S-1-5-32-544", 0x1F01FB},      // Administrators: no new instances
      {true, L"S-1-5-11", 0x12018B},          // authenticated users: read and write data
  };
  const std::vector<Ace> actual = ReadPipeDacl(pipe.Name());
  EXPECT_EQ(actual, expected);
  for (const Ace& ace : actual) {
    if (ace.allow && ace.sid != L"S-1-5-18" && ace.sid != L"S-1-3-4") {
      EXPECT_EQ(ace.mask & FILE_CREATE_PIPE_INSTANCE, 0u) << ace;
    }
  }
#endif
}

}  // namespace
}  // namespace orvo_vpn_win_svc
