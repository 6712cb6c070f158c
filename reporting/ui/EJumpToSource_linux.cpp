#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "reporting/ui/EJumpToSource.h"

bool SendJumpRecord(const TJumpRecord& record, const std::string& socketName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketName.size() + 1 > sizeof address.sun_path) return false;
  // Abstract namespace: a leading zero byte, the name without a terminator.
  std::memcpy(address.sun_path + 1, socketName.data(), socketName.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socketName.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(record.size());
}

bool SendJumpToSource(const TJumpRequest& request) {
  return SendJumpRecord(BuildJumpRecord(request), JumpSocketName(::getppid()));
}
