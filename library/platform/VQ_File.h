#pragma once

#include <string>
#include <string_view>

// Files that one writer owns: debug logs and captures of received bytes; and
// the check that a folder can take such files.

// Opens (creating when needed) `path` for writing with other writers excluded
// (flock) and empties it only once that lock is held, so a file another
// writer holds is never touched. The descriptor, or -1.
int OpenExclusiveEmptied(const std::string& path);

// Writes all bytes, resuming after signals and short writes.
bool WriteAll(int fd, std::string_view bytes);

// Writes all bytes, flushes them to the disk and closes `fd` (always). Empty
// when everything succeeded, else what failed ("the file could not be
// written", "... synced", "... closed") with its errno in `error`.
std::string WriteSyncClose(int fd, std::string_view bytes, int& error);

// Makes `folder` (with its parents) when it is missing and proves that a file
// can be created in it: a file of a unique name is created exclusively and
// removed at once, so no file of the user's is ever opened, emptied or
// removed. Empty when the folder can be used, else the system's reason
// ("Permission denied", "Not a directory", ...). An empty `folder` is the
// current one.
std::string FolderWriteProblem(const std::string& folder);
