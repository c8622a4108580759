#pragma once

namespace orvo_stand_in {

// True when `text` is a WireGuard key as the real library accepts it in base64: exactly 32
// bytes, written as 44 characters of the standard alphabet ending in one '=', with the unused
// low bits of the last character zero (the canonical form). A null text is not a key.
bool IsWireGuardKey(const char* text);

}  // namespace orvo_stand_in
