#include "output/write_json.h"

#include "driver/run_error.h"
#include "platform/foundation/json_string.h"
#include "platform/foundation/standard_stream.h"

namespace plim {
namespace {

const std::optional<std::string>& field(const MatchOutput& output, CodingKeys key) {
  static const std::optional<std::string> kAbsent;
  switch (key) {
    case CodingKeys::artist:
      return output.artist;
    case CodingKeys::title:
      return output.title;
    case CodingKeys::artwork:
      return output.artwork;
    case CodingKeys::message:
      return output.message;
    case CodingKeys::matched:
      break;
  }
  return kAbsent;
}

}  // namespace

std::string encodeJSON(const MatchOutput& output) {
  std::string json = "{\"matched\":";
  json += output.matched ? "true" : "false";
  for (CodingKeys key : kAllCodingKeys) {
    const std::optional<std::string>& text = field(output, key);
    if (key == CodingKeys::matched || !text) continue;
    json += ",\"";
    json += memberName(key);
    json += "\":";
    if (!foundation::appendJSONString(json, *text)) {
      throw RunError("JSONEncoder", 1,
                     std::string("The result could not be encoded: the \"") + memberName(key) +
                         "\" text is not valid UTF-8");
    }
  }
  json += "}";
  return json;
}

void writeJSON(MatchOutput output) {
  std::string json = encodeJSON(output);
  foundation::writeToStandardOutput(json);
  foundation::writeToStandardOutput("\n");
}

}  // namespace plim
