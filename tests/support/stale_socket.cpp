#include "support/stale_socket.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace orvo_test {

bool LeaveStaleSocket(const std::filesystem::path& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);  // the file stays, nobody listens
  return bound;
#endif
}

}  // namespace orvo_test
