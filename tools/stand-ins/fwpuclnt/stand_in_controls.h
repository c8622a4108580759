#pragma once

// The exports only the fwpuclnt stand-in has, for the tests that load it (after windows.h). A
// test finds them with STAND_IN_FWP; not finding them means Wine's own fwpuclnt was loaded.

#include <cstdint>

extern "C" {
// Replaces the engine with an empty one, for a caller with or without administrator rights.
// Returns how many application ids the old one handed out that were never freed.
int StandInFwpReset(int administrator);
// The `occurrence`-th call (every one for 0) whose recorded text contains `fragment` fails with
// `code`.
void StandInFwpFail(const char* fragment, uint32_t code, int occurrence);
// The calls so far (`filters` 0) or the committed filters (1), one a line; the text stays until
// the next call.
const char* StandInFwpText(int filters);
}

// Where the stand-in keeps its committed filters as text, rewritten after every change, for a
// test of another process that loaded it.
inline constexpr char kStandInFwpStateFile[] = "C:\\windows\\temp\\fwpuclnt-stand-in-filters.txt";

// The stand-in's export `name`, or null when the fwpuclnt.dll loaded is not the stand-in.
#define STAND_IN_FWP(name)           \
  reinterpret_cast<decltype(&name)>( \
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"fwpuclnt.dll"), #name)))
