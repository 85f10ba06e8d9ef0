// Console output streams and the printf-style helpers the tool writes with.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// A sink for console text. Each call is written whole.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual void write(const char* data, size_t size) = 0;
};

// Writes to a file descriptor, unbuffered, so text keeps its order with what
// child processes write to the same descriptor.
class FdStream : public Stream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}
  void write(const char* data, size_t size) override;

 private:
  int fd_;
};

// Collects the text; for tests.
class StringStream : public Stream {
 public:
  void write(const char* data, size_t size) override { text_.append(data, size); }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

// printf into a stream.
void print(Stream& stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes a fixed text as it stands.
void put(Stream& stream, const char* text);
// perror's form: "label: <text of errno>\n", with errno as it is on entry.
void print_error(Stream& stream, const char* label);

}  // namespace platform
