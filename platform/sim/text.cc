#include "platform/sim/text.h"

namespace platform::sim {

std::vector<std::string> split_words(const std::string& text) {
  constexpr const char* kSeparators = " \t\r\n";
  std::vector<std::string> words;
  size_t position = 0;
  while (true) {
    size_t first = text.find_first_not_of(kSeparators, position);
    if (first == std::string::npos) break;
    size_t last = text.find_first_of(kSeparators, first);
    if (last == std::string::npos) last = text.size();
    words.push_back(text.substr(first, last - first));
    position = last;
  }
  return words;
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::vector<SettingLine> setting_lines(const std::string& text) {
  std::vector<SettingLine> lines;
  int number = 0;
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(position, end - position);
    position = end + 1;
    ++number;
    size_t comment = line.find('#');
    if (comment != std::string::npos) line.resize(comment);
    line = trim(line);
    if (!line.empty()) lines.push_back({number, line});
  }
  return lines;
}

}  // namespace platform::sim
