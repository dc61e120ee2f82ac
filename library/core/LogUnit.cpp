// Placeholder until the logger lands: every log is closed.
#include "library/core/LogUnit.h"

int NewLog() { return -1; }
bool LogWanted(int) { return false; }
void LogInfo(int, std::string_view) {}
void LogWarn(int, std::string_view) {}
void LogError(int, std::string_view) {}
void LogException(int, std::string_view, const std::exception&) {}
void LogAppend(int, std::string_view) {}
void LogNewLine(int) {}
bool LogEnabled(int) { return false; }
std::string GetLogFileName(int) { return {}; }
void SetLogFile(int, const std::string&, bool) {}
std::string GetLogError(int) { return {}; }
TLogHeaderLines GetLogHeaderLines(int) { return {}; }
void SetLogHeaderLines(int, TLogHeaderLines) {}
void SetLogLimit(int, TLogLimitType, uint32_t) {}
void SetLogSaveEnabled(int, bool) {}
void SetLogSavePath(int, const std::string&) {}
TLogger* FindLogger(int) { return nullptr; }
