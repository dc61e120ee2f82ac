#pragma once

#include <string>
#include <string_view>

// Oldest device library the application works with.
inline constexpr std::string_view ZEP_MinLibraryVersion = "20.0.2";

// True when the library's version text ("major.minor.patch date") is at least
// the minimum; a part that is no number fails.
bool IsLibraryVersionSupported(std::string_view versionText);

// The text of the exception that stops the start-up on an old library.
std::string InvalidLibraryVersionText(std::string_view versionText);
