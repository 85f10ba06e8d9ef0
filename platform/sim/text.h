// Text helpers shared by the simulated camera's file parsers.
#pragma once

#include <string>
#include <vector>

namespace platform::sim {

// The words of TEXT, separated by blanks, tabs and line ends.
std::vector<std::string> split_words(const std::string& text);

// TEXT without leading and trailing blanks, tabs and carriage returns.
std::string trim(const std::string& text);

struct SettingLine {
  int number;        // from 1, counting every line of the file
  std::string text;  // trimmed, the comment from '#' on cut off
};

// The lines of a settings file that hold something, in order.
std::vector<SettingLine> setting_lines(const std::string& text);

}  // namespace platform::sim
