#include "app/core/Main.h"

#include <gtest/gtest.h>

TEST(LibraryVersionCheck, AcceptsFromMinimumOn) {
  struct Case {
    const char* text;
    bool supported;
  };
  const Case cases[] = {
      {"20.2.5 24-08-09", true}, {"20.0.2", true},   {"20.1.0", true},       {"21.0.0 x", true},
      {"20.0.1 24-01-01", false}, {"19.9.9", false}, {"20.0", false},        {"20.x.5", false},
      {"", false},               {"20.0.2a", false}, {"20..2", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLibraryVersionSupported(c.text), c.supported) << c.text;
}

TEST(LibraryVersionCheck, FailureText) {
  EXPECT_EQ(InvalidLibraryVersionText("20.0.1 x"),
            "Invalid version of VQ library: 20.0.1 x, minimal version needed: 20.0.2");
}
