#include "platform/foundation/standard_stream.h"

#include <unistd.h>

#include <cerrno>

namespace plim::foundation {

void writeToFileDescriptor(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace plim::foundation
