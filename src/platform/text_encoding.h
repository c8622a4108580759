#pragma once

#include <string>
#include <string_view>

namespace orvo_vpn_win_svc {

// UTF-8 to the platform's wide text (UTF-16 on Windows, UTF-32 elsewhere). Invalid byte
// sequences become U+FFFD, as MultiByteToWideChar with code page 65001 and no flags does; the
// conversion never fails.
std::wstring Utf8ToWide(std::string_view text);

// Wide text to UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// Widens byte by byte (each byte becomes the character of the same value), the way error texts
// are carried into wide debugger lines.
std::wstring WidenBytes(std::string_view text);

}  // namespace orvo_vpn_win_svc
