#include "platform/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {

void FdStream::write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a console failure
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void print(Stream& stream, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof small) {
    stream.write(small, static_cast<size_t>(length));
  } else {
    std::vector<char> large(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    stream.write(large.data(), static_cast<size_t>(length));
  }
  va_end(again);
}

void put(Stream& stream, const char* text) { stream.write(text, std::strlen(text)); }

void print_error(Stream& stream, const char* label) {
  int saved = errno;
  print(stream, "%s: %s\n", label, std::strerror(saved));
  errno = saved;
}

}  // namespace platform
