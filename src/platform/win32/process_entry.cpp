#include <string>
#include <vector>

#include "service/service_entry.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments(argv, argv + argc);
  return orvo_vpn_win_svc::RunServiceProcess(arguments);
}
