#pragma once

#include <string>
#include <string_view>

namespace orvo_vpn_win_svc {

// How the service talks to the sing-box program: where it lies, the two command lines, the text
// that says it is ready.

// The line the program prints once it runs.
inline constexpr std::string_view kSingboxReadinessText = "sing-box started";

// The program's full path in `directory`.
std::wstring SingboxPathIn(const std::wstring& directory);
// "\"PATH\" run -c stdin": run with the configuration on standard input.
std::wstring SingboxRunCommandLine(const std::wstring& program_path);
// "\"PATH\" version".
std::wstring SingboxVersionCommandLine(const std::wstring& program_path);

// Overwrites every byte of `text` with zero, then empties it, so a configuration holding
// passwords does not linger in freed memory.
void WipeText(std::string& text);

}  // namespace orvo_vpn_win_svc
