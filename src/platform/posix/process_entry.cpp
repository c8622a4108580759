#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "service/service_entry.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(orvo_vpn_win_svc::Utf8ToWide(argv[i]));
  }
  return orvo_vpn_win_svc::RunServiceProcess(arguments);
}
