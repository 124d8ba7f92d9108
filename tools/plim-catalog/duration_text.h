// Durations as people read them on a clock.

#ifndef PLIM_TOOLS_PLIM_CATALOG_DURATION_TEXT_H_
#define PLIM_TOOLS_PLIM_CATALOG_DURATION_TEXT_H_

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace plim {

// `seconds` rounded to whole seconds as "m:ss", or "h:mm:ss" from an hour
// up; negative spans read as 0:00.
inline std::string FormatDuration(double seconds) {
  auto total = static_cast<long long>(std::llround(std::max(0.0, seconds)));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

// `seconds` to the tenth as "h:mm:ss.s", for times along a recording or a
// stream of hours; negative times read as 0:00:00.0.
inline std::string ClockTime(double seconds) {
  const auto tenths = static_cast<long long>(std::max(0.0, seconds) * 10 + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60,
                tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_DURATION_TEXT_H_
