#pragma once

#include <string>
#include <vector>

namespace orvo_vpn_win_svc {

// The process entry after the platform's own (wmain or main): `arguments` holds the program
// name and then each argument. Returns the process exit code.
int RunServiceProcess(const std::vector<std::wstring>& arguments);

}  // namespace orvo_vpn_win_svc
