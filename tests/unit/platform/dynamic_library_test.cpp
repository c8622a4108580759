#include <gtest/gtest.h>

#include "platform/dynamic_library.h"
#include "support/platform_kind.h"

namespace orvo_vpn_win_svc::platform {
namespace {

TEST(DynamicLibrary, LoadsBySystemSearchAndFindsExports) {
  const std::wstring present = orvo_test::kWindows ? L"kernel32.dll" : L"libm.so.6";
  const char* symbol = orvo_test::kWindows ? "GetTickCount" : "cos";
  const LibraryLoad load = LoadDynamicLibrary(present);
  ASSERT_NE(load.library, nullptr) << load.error_text;
  EXPECT_NE(load.library->Symbol(symbol), nullptr);
  EXPECT_EQ(load.library->Symbol("NoSuchExportAnywhere"), nullptr);
}

TEST(DynamicLibrary, ReportsALibraryThatIsNotThere) {
  const LibraryLoad load = LoadDynamicLibrary(L"orvo-no-such-library.dll");
  EXPECT_EQ(load.library, nullptr);
  EXPECT_NE(load.error, 0u);
  if (!orvo_test::kWindows) {
    // The Windows name was looked up as a Linux shared object.
    EXPECT_NE(load.error_text.find("liborvo-no-such-library.so"), std::string::npos)
        << load.error_text;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc::platform
