/* Runs the program named on its command line as a child, with the same standard handles, and
   exits with the child's exit code, read from its process handle once it has ended.
   scripts/wine-run.sh runs every program through it because the exit status of a Unix `wine`
   process is not always its program's exit code: a test program that died of an access
   violation (0xC0000005, after winedbg had printed its backtrace) was seen to end with 0.
   Built by wine-run.sh with mingw-w64; not part of the product. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(void) {
  /* What follows this program's own name, which Windows delimits by its quotes, else by the
     first space or tab. */
  const wchar_t *rest = GetCommandLineW();
  if (*rest == L'"') {
    for (++rest; *rest != L'\0' && *rest != L'"'; ++rest) {
    }
    rest += *rest == L'"';
  } else {
    while (*rest != L'\0' && *rest != L' ' && *rest != L'\t') ++rest;
  }
  while (*rest == L' ' || *rest == L'\t') ++rest;

  wchar_t *line = _wcsdup(rest);
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION child;
  if (line == NULL ||
      !CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
    fwprintf(stderr, L"wine-wait: cannot start %ls: error %lu\n", rest, GetLastError());
    return 127;
  }
  DWORD code = 1;
  if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(child.hProcess, &code)) {
    fwprintf(stderr, L"wine-wait: cannot wait for %ls: error %lu\n", rest, GetLastError());
    return 126;
  }
  /* A Unix exit status keeps the low eight bits only: name the whole code, and never let one
     whose low byte is 0 read as success. */
  if (code > 255) {
    fwprintf(stderr, L"wine-wait: %ls ended with exit code 0x%08lX\n", rest, code);
  }
  return code != 0 && (code & 0xff) == 0 ? 1 : (int)code;
}
