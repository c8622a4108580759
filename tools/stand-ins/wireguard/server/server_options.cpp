#include "server_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace orvo_stand_in {
namespace {

// A decimal number in [low, high] taking the whole text.
bool ParseNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

}  // namespace

bool ParseServerOptions(int argc, char** argv, ServerOptions& options, std::string& error) {
  bool have_address = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const std::string value = argv[i + 1];
    unsigned long number = 0;
    if (name == "--tun") {
      options.tun_name = value;
    } else if (name == "--address") {
      const size_t slash = value.find('/');
      if (slash == std::string::npos ||
          inet_pton(AF_INET, value.substr(0, slash).c_str(), &options.address) != 1 ||
          !ParseNumber(value.substr(slash + 1), 1, 32, number)) {
        error = "--address wants A.B.C.D/PREFIX, not " + value;
        return false;
      }
      options.prefix_length = static_cast<uint8_t>(number);
      have_address = true;
    } else if (name == "--port") {
      if (!ParseNumber(value, 1, 65535, number)) {
        error = "--port wants 1 to 65535, not " + value;
        return false;
      }
      options.port = static_cast<uint16_t>(number);
    } else if (name == "--mtu") {
      if (!ParseNumber(value, 68, 65535, number)) {
        error = "--mtu wants 68 to 65535, not " + value;
        return false;
      }
      options.mtu = static_cast<uint16_t>(number);
    } else {
      error = "unknown option " + std::string(name);
      return false;
    }
  }
  if (options.tun_name.empty() || !have_address || options.port == 0) {
    error = "usage: --tun NAME --address A.B.C.D/PREFIX --port PORT [--mtu MTU]";
    return false;
  }
  return true;
}

}  // namespace orvo_stand_in
