#pragma once

#include <string>

namespace orvo_vpn_win_svc::platform {

// The pipe's last path component: `\\.\pipe\OrvoVpnWinSvc` gives `OrvoVpnWinSvc`. Linux names
// its socket after it.
std::wstring PipeShortName(const std::wstring& pipe_name);

}  // namespace orvo_vpn_win_svc::platform
