#include "library/platform/VQ_File.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

namespace fs = std::filesystem;

// The check leaves the folder as it found it: a user's files, whatever their
// names, keep their content, and no probe is left behind.
TEST(FolderWriteProblem, UsableFolderKeepsItsFiles) {
  TTempFolder folder;
  for (const char* name : {"test.txt", ".zep_probe", ".zep_probe_XXXXXX"})
    WriteText(folder.File(name), std::string("kept ") + name);

  EXPECT_EQ(FolderWriteProblem(folder.Path().string()), "");
  EXPECT_EQ(FolderWriteProblem(folder.Path().string() + "/"), "");

  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder.Path())) ++entries;
  EXPECT_EQ(entries, 3);
  for (const char* name : {"test.txt", ".zep_probe", ".zep_probe_XXXXXX"})
    EXPECT_EQ(ReadFile(folder.File(name)), std::string("kept ") + name);
}

TEST(FolderWriteProblem, MissingFoldersAreMade) {
  TTempFolder folder;
  const fs::path nested = folder.Path() / "a" / "b" / "c";
  EXPECT_EQ(FolderWriteProblem(nested.string()), "");
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(fs::is_empty(nested));
}

// The reason is the system's own text, so the user learns what to change.
TEST(FolderWriteProblem, UnusableFolderGivesTheSystemsReason) {
  TTempFolder folder;
  const std::string file = folder.File("plain");
  WriteText(file, "a file, not a folder");
  EXPECT_EQ(FolderWriteProblem(file), std::strerror(ENOTDIR));
  EXPECT_EQ(FolderWriteProblem(file + "/below"), std::strerror(ENOTDIR));
  EXPECT_EQ(ReadFile(file), "a file, not a folder");

  // The super-user may write anywhere: a read-only folder refuses only others.
  if (::geteuid() == 0) return;
  const fs::path locked = folder.Path() / "locked";
  fs::create_directory(locked);
  ::chmod(locked.c_str(), 0555);
  EXPECT_EQ(FolderWriteProblem(locked.string()), std::strerror(EACCES));
  ::chmod(locked.c_str(), 0755);
}

}  // namespace
