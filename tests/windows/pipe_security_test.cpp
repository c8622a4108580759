// The service's named pipe as Windows clients meet it: the descriptor read back from the running
// pipe and checked as the system checks an open, the one instance, and a plain client that
// opens with generic rights and reads until the server hangs up.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe_client.h"
#include "support/test_pipe.h"

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;

#ifdef _WIN32
struct Ace {
  bool allow;
  std::wstring sid;  // S-1-... form
  unsigned long mask;
  bool operator==(const Ace&) const = default;
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const Ace& ace) {
  return out << (ace.allow ? "allow " : "deny ") << std::string(ace.sid.begin(), ace.sid.end())
             << " 0x" << std::hex << ace.mask << std::dec;
}

GENERIC_MAPPING FileMapping() {
  return {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
}

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) {
    return L"?";
  }
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// The security descriptor of the pipe `name`, read back through a handle to it.
class PipeDescriptor {
 public:
  explicit PipeDescriptor(const std::wstring& name) {
    HANDLE pipe = CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "cannot open the pipe, error " << GetLastError();
      return;
    }
    const DWORD error = GetSecurityInfo(
        pipe, SE_KERNEL_OBJECT,
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, &dacl_, nullptr, &descriptor_);
    CloseHandle(pipe);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS)) << "GetSecurityInfo";
  }
  ~PipeDescriptor() { LocalFree(descriptor_); }

  // The DACL's entries, generic rights mapped the way the system maps them for pipes.
  std::vector<Ace> Entries() const {
    std::vector<Ace> aces;
    GENERIC_MAPPING mapping = FileMapping();
    for (DWORD i = 0; dacl_ != nullptr && i < dacl_->AceCount; ++i) {
      void* raw = nullptr;
      if (!GetAce(dacl_, i, &raw)) {
        continue;
      }
      // Allowed and denied entries share their layout: header, mask, SID.
      auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      DWORD mask = entry->Mask;
      MapGenericMask(&mask, &mapping);
      aces.push_back({entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE, SidText(&entry->SidStart),
                      mask & ~static_cast<DWORD>(GENERIC_ALL)});
    }
    return aces;
  }

  // The rights an open asking for `desired` gets with `token`; 0 when refused.
  DWORD Granted(HANDLE token, DWORD desired) const {
    GENERIC_MAPPING mapping = FileMapping();
    MapGenericMask(&desired, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privileges_length = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(descriptor_, token, desired, &mapping, &privileges, &privileges_length,
                     &granted, &allowed)) {
      ADD_FAILURE() << "AccessCheck failed, error " << GetLastError();
      return 0;
    }
    return allowed ? granted : 0;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  PACL dacl_ = nullptr;
};

// An impersonation token of this process's user with the Administrators group disabled: the
// token of an ordinary user.
HANDLE OrdinaryUserToken() {
  HANDLE process = nullptr;
  HANDLE restricted = nullptr;
  HANDLE impersonation = nullptr;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD length = sizeof(administrators);
  SID_AND_ATTRIBUTES disabled{administrators, 0};
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &length) ||
      !OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) ||
      !CreateRestrictedToken(process, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted) ||
      !DuplicateToken(restricted, SecurityImpersonation, &impersonation)) {
    ADD_FAILURE() << "cannot make the token, error " << GetLastError();
  }
  for (HANDLE handle : {process, restricted}) {
    if (handle != nullptr) {
      CloseHandle(handle);
    }
  }
  return impersonation;
}

// Opens the pipe as .NET's NamedPipeClientStream (InOut), QLocalSocket and libuv do, waiting
// while the instance serves someone else.
HANDLE OpenAsPlainClient(const std::wstring& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) {
      return pipe;
    }
    WaitNamedPipeW(name.c_str(), 5000);
  }
  return INVALID_HANDLE_VALUE;
}

// Named-pipe security and instances exist only on Windows.
class WindowsPipe : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds request_timeout = IpcServer::kDefaultRequestTimeout) {
    server_ = std::make_unique<IpcServer>(platform::SystemMessagePipes(), request_timeout);
    server_->status_handler = [] { return std::string("connected"); };
    ASSERT_TRUE(server_->Start(pipe_.Name()));
  }
  std::string Status() { return platform::ExchangePipeMessage(pipe_.Name(), "status", 10s).reply; }

  orvo_test::TestPipe pipe_;
  std::unique_ptr<IpcServer> server_;
};

TEST_F(WindowsPipe, DescriptorAdmitsGenericReadWriteClientsAndShutsOutTheNetwork) {
  Start();
  const PipeDescriptor descriptor(pipe_.Name());
  const std::vector<Ace> expected = {
      {false, L"S-1-5-2", FILE_ALL_ACCESS},                             // network logons
      {false, L"S-1-5-7", FILE_ALL_ACCESS},                             // anonymous
      {true, L"S-1-5-18", FILE_ALL_ACCESS},                             // LocalSystem
      {true, L"S-1-5-32-544", FILE_GENERIC_READ | FILE_GENERIC_WRITE},  // Administrators
      {true, L"S-1-5-11", FILE_GENERIC_READ | FILE_GENERIC_WRITE},      // authenticated users
  };
  EXPECT_EQ(descriptor.Entries(), expected);

  // Wine does not check a pipe's descriptor on open; the access check says what Windows does.
  const HANDLE user = OrdinaryUserToken();
  ASSERT_NE(user, nullptr);
  const struct {
    DWORD desired;
    DWORD granted;
  } opens[] = {
      {GENERIC_READ | GENERIC_WRITE, FILE_GENERIC_READ | FILE_GENERIC_WRITE},
      // What orvo-vpn-ctl asked for before it opened as everyone else does.
      {FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
       FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES},
      {GENERIC_ALL, 0},
  };
  for (const auto& open : opens) {
    EXPECT_EQ(descriptor.Granted(user, open.desired), open.granted)
        << std::hex << "asked for 0x" << open.desired;
  }
  CloseHandle(user);
}

TEST_F(WindowsPipe, NoOtherProcessCanAddAnInstance) {
  Start();
  // Under Wine this succeeds while the first instance was made with 255 at most.
  HANDLE intruder = CreateNamedPipeW(pipe_.Name().c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr);
  EXPECT_EQ(intruder, INVALID_HANDLE_VALUE);
  if (intruder != INVALID_HANDLE_VALUE) {
    CloseHandle(intruder);
  }
  EXPECT_EQ(Status(), "connected");
}

// A client that reads until the server hangs up (.NET's ReadToEnd, Node's 'end') sees the end
// as soon as it has read the reply; one that never reads is cut off after the request time.
TEST_F(WindowsPipe, HangsUpOnceTheReplyIsReadAndNotWaitForAClientThatNeverReads) {
  Start(500ms);
  for (int round = 0; round < 3; ++round) {
    HANDLE client = OpenAsPlainClient(pipe_.Name());
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(client, "status", 6, &count, nullptr));
    char reply[64] = {};
    ASSERT_TRUE(ReadFile(client, reply, sizeof(reply), &count, nullptr)) << GetLastError();
    EXPECT_EQ(std::string(reply, count), "connected");
    const auto read_at = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadFile(client, reply, sizeof(reply), &count, nullptr));
    const auto ended_after = std::chrono::steady_clock::now() - read_at;
    // Windows and Wine report a server's hang-up as one of these.
    const DWORD end = GetLastError();
    EXPECT_TRUE(end == ERROR_BROKEN_PIPE || end == ERROR_PIPE_NOT_CONNECTED) << end;
    EXPECT_LT(ended_after, 250ms) << std::chrono::duration<double, std::milli>(ended_after).count()
                                  << " ms from the reply to the end";
    CloseHandle(client);
  }

  HANDLE silent = OpenAsPlainClient(pipe_.Name());
  ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(silent, "status", 6, &count, nullptr));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Status(), "connected");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  // Its reply was discarded with the disconnect.
  char reply[64] = {};
  EXPECT_FALSE(ReadFile(silent, reply, sizeof(reply), &count, nullptr));
  CloseHandle(silent);
}

#endif

}  // namespace
}  // namespace orvo_vpn_win_svc
