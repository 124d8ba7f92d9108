// One JSON object on one line, as plim-catalog writes its data. Unlike the
// result line of plim-shazamkit, slashes are written plainly, so that paths
// and URLs can be searched for as they are.

#ifndef PLIM_TOOLS_PLIM_CATALOG_JSON_LINE_H_
#define PLIM_TOOLS_PLIM_CATALOG_JSON_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plim {

// Builds the object field by field, in the order added. Texts that are not
// valid UTF-8 are repaired (each bad byte becomes U+FFFD); every control
// character, DEL and C1 included, is escaped. Not thread-safe.
class JsonLine {
 public:
  JsonLine& Text(std::string_view name, std::string_view value);
  JsonLine& TextList(std::string_view name, const std::vector<std::string>& values);
  JsonLine& Integer(std::string_view name, std::uint64_t value);
  // `format` is a printf format for one double, e.g. "%.3f".
  JsonLine& Number(std::string_view name, double value, const char* format);
  JsonLine& Boolean(std::string_view name, bool value);
  // An array of the objects `objects` are building, each as it now stands.
  JsonLine& ObjectList(std::string_view name, const std::vector<JsonLine>& objects);

  // The object, braces and final newline included.
  std::string Finish() const { return out_ + "}\n"; }

 private:
  void Name(std::string_view name);
  void Value(std::string_view text);

  std::string out_ = "{";
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_JSON_LINE_H_
