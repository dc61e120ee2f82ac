#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "app/data/QMT_DataManagement.h"

// 7900 lines and calibrations as the tests of the time-interval store build them.

// One field as the counter writes it: "%13.2f;".
inline std::string Field(double value) {
  std::string text = FloatToStrFixed(value, 2);
  text.insert(0, 13 - std::min<std::size_t>(text.size(), 13), ' ');
  return text + ";";
}

// A 7900 line: the code, one blank, then one field per channel.
inline std::string Line(const std::vector<double>& values) {
  std::string line = "7900; ";
  for (double v : values) line += Field(v);
  return line;
}

inline std::string Pad15(const std::string& text) { return std::string(15 - text.size(), ' ') + text; }

inline TCalibrationData Calibration(std::initializer_list<std::pair<int, double>> values) {
  TCalibrationData data;
  for (const auto& [k, v] : values) data.Values[k - 1] = v;
  return data;
}
