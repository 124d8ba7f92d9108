// Numbers in the text tables and JSON lines of plim-catalog.

#ifndef PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_
#define PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace plim {

// `value` through the printf format `format`, which takes one double
// ("%.2f", "%+.2f%%"); at most 63 bytes are kept. A negative value that
// rounds to zero is written as zero ("0.00", "+0.00%"), never "-0.00".
// Pure.
inline std::string FormatNumber(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  // "-0.00" would tell the reader of a skew or a confidence that it is below
  // zero, which no digit shown says.
  if (std::signbit(value) && !std::isnan(value) && std::strpbrk(text, "123456789") == nullptr) {
    std::snprintf(text, sizeof text, format, 0.0);
  }
  return text;
}

// `count` and the noun after it, singular for 1: "1 recording", "0
// recordings". Pure.
inline std::string Counted(std::uint64_t count, std::string_view singular,
                           std::string_view plural) {
  return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_
