// The service's named pipe as Windows clients meet it: the descriptor read back from the running
// pipe and checked as the system checks an open, the one instance, and a plain client that
// opens with generic rights and reads until the server hangs up.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe_client.h"
#include "platform/text_encoding.h"
#include "support/test_pipe.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;

GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                FILE_ALL_ACCESS};

// Closes a handle that was opened (a failed open gives null or INVALID_HANDLE_VALUE).
struct HandleCloser {
  void operator()(HANDLE handle) const { handle != INVALID_HANDLE_VALUE&& CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The DACL as "allow|deny SID mask" lines, generic rights mapped as the system maps them.
std::string DaclText(PACL dacl) {
  std::ostringstream text;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    GetAce(dacl, i, &raw);
    // Allowed and denied entries share their layout: header, mask, SID.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    DWORD mask = entry->Mask;
    MapGenericMask(&mask, &kFileMapping);
    LPWSTR sid = nullptr;
    ConvertSidToStringSidW(&entry->SidStart, &sid);
    text << (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "allow " : "deny ")
         << WideToUtf8(sid) << " 0x" << std::hex << (mask & ~static_cast<DWORD>(GENERIC_ALL))
         << "\n";
    LocalFree(sid);
  }
  return text.str();
}

// An impersonation token of this process's user with the Administrators group disabled: the
// token of an ordinary user.
HANDLE OrdinaryUserToken() {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD length = sizeof(administrators);
  SID_AND_ATTRIBUTES disabled{administrators, 0};
  HANDLE process = nullptr;
  HANDLE restricted = nullptr;
  HANDLE impersonation = nullptr;
  EXPECT_TRUE(
      CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &length) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) &&
      CreateRestrictedToken(process, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted) &&
      DuplicateToken(restricted, SecurityImpersonation, &impersonation))
      << GetLastError();
  const Handle owned_process{process}, owned_restricted{restricted};  // closed on return
  return impersonation;
}

// Opens the pipe as .NET's NamedPipeClientStream (InOut), QLocalSocket and libuv do, waiting
// for at most 10 s while the instance serves someone else.
HANDLE OpenAsPlainClient(const std::wstring& name) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  do {
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) {
      return pipe;
    }
    WaitNamedPipeW(name.c_str(), 1000);
  } while (std::chrono::steady_clock::now() < until);
  return INVALID_HANDLE_VALUE;
}

// What a plain client writes (nothing at all for "") and the reply it then reads ("" for none).
bool Write(HANDLE client, const std::string& request) {
  DWORD count = 0;
  return request.empty() ||
         WriteFile(client, request.data(), static_cast<DWORD>(request.size()), &count, nullptr);
}
std::string ReadReply(HANDLE client) {
  char reply[64] = {};
  DWORD count = 0;
  return ReadFile(client, reply, sizeof(reply), &count, nullptr) ? std::string(reply, count) : "";
}

// One server, its request time cut to 500 ms so that a client that never reads is cut off soon.
TEST(WindowsPipe, DescriptorOneInstanceAndHangUpAsWindowsClientsMeetThem) {
  const orvo_test::TestPipe pipe_name;
  const std::wstring& name = pipe_name.Name();
  IpcServer server(platform::SystemMessagePipes(), 500ms);
  server.status_handler = [] { return std::string("connected"); };
  ASSERT_TRUE(server.Start(name));
  const auto status = [&] { return platform::ExchangePipeMessage(name, "status", 10s).reply; };

  Handle pipe{CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
  ASSERT_NE(pipe.get(), INVALID_HANDLE_VALUE) << GetLastError();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(
                pipe.get(), SE_KERNEL_OBJECT,
                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                nullptr, nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);
  // Network logons and anonymous denied; LocalSystem all; Administrators and authenticated
  // users read and write.
  EXPECT_EQ(DaclText(dacl),
            "deny S-1-5-2 0x1f01ff\n"
            "deny S-1-5-7 0x1f01ff\n"
            "allow S-1-5-18 0x1f01ff\n"
            "allow S-1-5-32-544 0x12019f\n"
            "allow S-1-5-11 0x12019f\n");

  // Wine does not check a pipe's descriptor on open; the access check says what Windows does.
  Handle user{OrdinaryUserToken()};
  ASSERT_TRUE(user);
  const std::pair<DWORD, DWORD> opens[] = {
      // asked for, granted
      {GENERIC_READ | GENERIC_WRITE, FILE_GENERIC_READ | FILE_GENERIC_WRITE},
      // What orvo-vpn-ctl asked for before it opened as everyone else does.
      {FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
       FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES},
      {GENERIC_ALL, 0},
  };
  for (const auto& [asked, expected] : opens) {
    DWORD desired = asked;
    MapGenericMask(&desired, &kFileMapping);
    PRIVILEGE_SET privileges{};
    DWORD privileges_length = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    ASSERT_TRUE(AccessCheck(descriptor, user.get(), desired, &kFileMapping, &privileges,
                            &privileges_length, &granted, &allowed))
        << GetLastError();
    EXPECT_EQ(allowed ? granted : 0, expected) << std::hex << "asked for 0x" << asked;
  }

  // Under Wine a second instance succeeds while the first was made with 255 at most.
  Handle intruder{CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr)};
  EXPECT_EQ(intruder.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(status(), "connected");

  // A client that reads until the server hangs up (.NET's ReadToEnd, Node's 'end') sees the end
  // as soon as it has read the reply; one that never reads (the last round) is cut off after the
  // request time, its reply discarded.
  for (int round = 0; round < 4; ++round) {
    Handle client{OpenAsPlainClient(name)};
    ASSERT_NE(client.get(), INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(Write(client.get(), "status"));
    const auto started = std::chrono::steady_clock::now();
    if (round == 3) {
      EXPECT_EQ(status(), "connected");
      EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    } else {
      EXPECT_EQ(ReadReply(client.get()), "connected") << GetLastError();
    }
    const auto read_at = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadReply(client.get()), "");
    // Windows and Wine report a server's hang-up as one of these.
    const DWORD end = GetLastError();
    EXPECT_TRUE(end == ERROR_BROKEN_PIPE || end == ERROR_PIPE_NOT_CONNECTED) << end;
    EXPECT_LT(std::chrono::steady_clock::now() - read_at, 250ms);
  }
}

// Hands the server a pipe made beforehand. A new instance takes clients at once, so one can
// come before the listener's first wait, and only before that one: a disconnected instance
// turns clients away until it waits again.
class MadeBefore final : public platform::LocalMessagePipeFactory {
 public:
  explicit MadeBefore(platform::PipeCreation made) : made_(std::move(made)) {}
  platform::PipeCreation Create(const std::wstring&) override { return std::move(made_); }

 private:
  platform::PipeCreation made_;
};

// A client that came before the listener's first wait; after it the next client is served.
TEST(WindowsPipe, ServesTheNextClientAfterOneThatCameBeforeTheWait) {
  const struct {
    const char* early;
    const char* writes;  // nothing at all when empty
    bool stays;
    const char* reads;
  } cases[] = {
      // The wait fails with ERROR_NO_DATA until the instance is disconnected.
      {"opened and closed", "", false, ""},
      {"wrote and closed", "status", false, ""},
      // The wait succeeds with ERROR_PIPE_CONNECTED.
      {"wrote and waits", "status", true, "connected"},
      {"writes nothing", "", true, ""},  // cut off after the request time
  };
  for (const auto& c : cases) {
    const orvo_test::TestPipe pipe_name;
    const std::wstring& name = pipe_name.Name();
    platform::PipeCreation made = platform::SystemMessagePipes()->Create(name);
    ASSERT_TRUE(made.pipe) << made.error;
    Handle early{OpenAsPlainClient(name)};
    ASSERT_NE(early.get(), INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(Write(early.get(), c.writes));
    if (!c.stays) {
      early.reset();
    }
    IpcServer server(std::make_shared<MadeBefore>(std::move(made)), 500ms);
    server.status_handler = [] { return std::string("connected"); };
    ASSERT_TRUE(server.Start(name));
    EXPECT_EQ(c.stays ? ReadReply(early.get()) : "", c.reads) << c.early;
    Handle next{OpenAsPlainClient(name)};
    ASSERT_NE(next.get(), INVALID_HANDLE_VALUE) << c.early << ": " << GetLastError();
    ASSERT_TRUE(Write(next.get(), "status"));
    EXPECT_EQ(ReadReply(next.get()), "connected") << c.early;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
