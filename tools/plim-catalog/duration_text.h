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

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_DURATION_TEXT_H_
