// The service's named pipe as Windows clients meet it: the descriptor read back from the running
// pipe, the one instance, and a plain client that opens with generic rights and reads until the
// server hangs up.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe_client.h"
#include "platform/text_encoding.h"
#include "platform/win32/unique_handle.h"
#include "support/test_pipe.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;

using platform::UniqueHandle;

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

  // Network logons and anonymous denied; LocalSystem all; Administrators and authenticated
  // users FILE_GENERIC_READ | FILE_GENERIC_WRITE (0x12019f), what GENERIC_READ | GENERIC_WRITE
  // asks for. Wine keeps GENERIC_ALL as given, where Windows shows it mapped (FA).
  const UniqueHandle pipe{
      CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
  ASSERT_TRUE(pipe.Valid()) << GetLastError();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::unique_ptr<void, decltype(&LocalFree)> owned_text(text, &LocalFree);
  EXPECT_EQ(WideToUtf8(text),
            "D:P(D;;GA;;;NU)(D;;GA;;;AN)(A;;GA;;;SY)(A;;0x12019f;;;BA)(A;;0x12019f;;;AU)");

  // Under Wine a second instance succeeds while the first was made with 255 at most.
  const UniqueHandle intruder{CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
      PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr)};
  EXPECT_FALSE(intruder.Valid());
  EXPECT_EQ(status(), "connected");

  // A client that reads until the server hangs up (.NET's ReadToEnd, Node's 'end') sees the end
  // as soon as it has read the reply; one that never reads (the last round) is cut off after the
  // request time, its reply discarded.
  for (int round = 0; round < 4; ++round) {
    const UniqueHandle client{OpenAsPlainClient(name)};
    ASSERT_TRUE(client.Valid()) << GetLastError();
    ASSERT_TRUE(Write(client.Get(), "status"));
    const auto started = std::chrono::steady_clock::now();
    if (round == 3) {
      EXPECT_EQ(status(), "connected");
      EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    } else {
      EXPECT_EQ(ReadReply(client.Get()), "connected") << GetLastError();
    }
    const auto read_at = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadReply(client.Get()), "");
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
      // The wait succeeds with ERROR_PIPE_CONNECTED.
      {"wrote and waits", "status", true, "connected"},
      {"writes nothing", "", true, ""},  // cut off after the request time
  };
  for (const auto& c : cases) {
    const orvo_test::TestPipe pipe_name;
    const std::wstring& name = pipe_name.Name();
    platform::PipeCreation made = platform::SystemMessagePipes()->Create(name);
    ASSERT_TRUE(made.pipe) << made.error;
    UniqueHandle early{OpenAsPlainClient(name)};
    ASSERT_TRUE(early.Valid()) << GetLastError();
    ASSERT_TRUE(Write(early.Get(), c.writes));
    if (!c.stays) {
      early.Reset();
    }
    IpcServer server(std::make_shared<MadeBefore>(std::move(made)), 500ms);
    server.status_handler = [] { return std::string("connected"); };
    ASSERT_TRUE(server.Start(name));
    EXPECT_EQ(c.stays ? ReadReply(early.Get()) : "", c.reads) << c.early;
    const UniqueHandle next{OpenAsPlainClient(name)};
    ASSERT_TRUE(next.Valid()) << c.early << ": " << GetLastError();
    ASSERT_TRUE(Write(next.Get(), "status"));
    EXPECT_EQ(ReadReply(next.Get()), "connected") << c.early;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
