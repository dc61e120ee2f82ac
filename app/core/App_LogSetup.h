#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/output/App_LogDefinition.h"

class TAppSettings;

// Log types from a comma-separated list of names ("phase,freq"; case does
// not matter): phase, freq, phasediff, phasediffprev, phaseres, qmt,
// qmtdiff. Nothing (with `error` set) for an unknown or empty name.
std::optional<uint32_t> ParseLogTypes(const std::string& list, std::string& error);
// "phase, freq, ...": the names ParseLogTypes knows.
std::string KnownLogTypeNames();

// A definition of one part that logs `types` of every channel of session
// `index` (its QMT-only copy with `copy`) into `folder`, named as the
// log-definitions dialog names a new definition number `number`.
std::unique_ptr<TLogDefinition> DefaultLogDefinition(int index, bool copy, uint32_t types, const std::string& folder,
                                                     int number);

// The folder part of a configured log file name (with its trailing "/"),
// empty for a bare name; and the name without its folder.
std::string LogFileFolder(const std::string& fileName);
std::string LogFileBaseName(const std::string& fileName);

// Rewrites the session numbers of the saved log definitions' parts.
void RenumberLogDefinitions(TAppSettings& settings, const std::vector<std::pair<int, int>>& oldToNew);
