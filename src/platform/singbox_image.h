#pragma once

#include <string>

namespace orvo_vpn_win_svc::platform {

// The file name of the sing-box program, by which it is found in a directory and recognised in
// the process table: "sing-box.exe" on Windows, "sing-box" on Linux.
const std::wstring& SingboxImageName();

}  // namespace orvo_vpn_win_svc::platform
