// Shared by the companion programs' argument parsers.
#pragma once

#include <string>
#include <vector>

namespace tools {

// The parts of TEXT between SEPARATORs; empty parts are kept.
inline std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace tools
