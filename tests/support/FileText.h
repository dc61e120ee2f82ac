#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"

// Whole files and their lines, for comparing what the code wrote.

// Debug logs are written in the background: their queued lines are written
// first, so the file holds everything logged before the call.
inline std::string ReadFile(const std::string& path) {
  FlushLogs();
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines of a text, without their "\n" (a "\r" before it stays).
inline std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Replaces the file's content.
inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}
