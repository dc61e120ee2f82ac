#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/App_StatusFields.h"

namespace {

TEST(StatusFields, ShowWhatTheCounterHas) {
  const struct {
    TSessionStatus Status;
    std::vector<std::string> Fields;
  } cases[] = {
      {{'A', 4, 1, 4, 255, false, 3, 120}, {"A", "PAV: 4, PDI: 1, QMT: 4", "User: -", "Lost: 3", "Sync: 120"}},
      {{'B', 2, 0, 0, 2, false, 0, -1}, {"B", "PAV: 2", "User: 2", "Lost: 0", "Sync: -"}},
      {{'C', 0, 0, 0, 255, false, 0, -1}, {"C", "-", "User: -", "Lost: 0", "Sync: -"}},
      // Time intervals only: no lost lines or seconds to show.
      {{'D', 0, 0, 8, 255, true, 5, 7}, {"D", "QMT: 8", "User: -", "-", "-"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionStatusFields(c.Status), c.Fields) << c.Status.Letter;
}

}  // namespace
