#pragma once

// The exports only the system-library stand-ins have, for the tests that load them (after
// windows.h). A test finds them with STAND_IN_CONTROL; not finding them means Wine's own library
// was loaded.

#include <cstdint>

extern "C" {
// fwpuclnt: replaces the engine with an empty one, for a caller with or without administrator
// rights. Returns how many application ids the old one handed out that were never freed.
int StandInFwpReset(int administrator);
// fwpuclnt: the `occurrence`-th call (every one for 0) whose recorded text contains `fragment`
// fails with `code`.
void StandInFwpFail(const char* fragment, uint32_t code, int occurrence);
// fwpuclnt: the calls so far (`filters` 0) or the committed filters (1), one a line; the text
// stays until the next call.
const char* StandInFwpText(int filters);
// iphlpapi and setupapi: the calls recorded since the last time, then forgotten; the text stays
// until the next time.
const char* StandInText();
}

// Where the fwpuclnt stand-in keeps its committed filters as text, rewritten after every change,
// for a test of another process that loaded it.
inline constexpr char kStandInFwpStateFile[] = "C:\\windows\\temp\\fwpuclnt-stand-in-filters.txt";

// The export `name` of the stand-in loaded as `library`, or null when that is not the stand-in.
#define STAND_IN_CONTROL(library, name) \
  reinterpret_cast<decltype(&name)>(    \
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(library), #name)))
#define STAND_IN_FWP(name) STAND_IN_CONTROL(L"fwpuclnt.dll", name)
