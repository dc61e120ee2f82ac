#include "app/core/App_StatusFields.h"

std::vector<std::string> SessionStatusFields(const TSessionStatus& status) {
  std::string channels;
  const auto add = [&channels](const char* name, int count) {
    if (count > 0) channels += (channels.empty() ? "" : ", ") + std::string(name) + ": " + std::to_string(count);
  };
  add("PAV", status.Channels);
  add("PDI", status.PDICards);
  add("QMT", status.QMTChannels);
  if (channels.empty()) channels = "-";
  const std::string user = status.UserId != 255 ? "User: " + std::to_string(status.UserId) : "User: -";
  if (status.QMTonly) return {std::string(1, status.Letter), channels, user, "-", "-"};
  return {std::string(1, status.Letter), channels, user, "Lost: " + std::to_string(status.Lost),
          "Sync: " + (status.LastSecond >= 0 ? std::to_string(status.LastSecond) : std::string("-"))};
}
