// Numbers in the text tables of plim-catalog.

#ifndef PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_
#define PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_

#include <cstdio>
#include <string>

namespace plim {

// `value` through the printf format `format`, which takes one double
// ("%.2f", "%+.2f%%"); at most 63 bytes are kept. Pure.
inline std::string FormatNumber(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_NUMBER_TEXT_H_
