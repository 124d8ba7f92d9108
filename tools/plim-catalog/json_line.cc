#include "tools/plim-catalog/json_line.h"

#include "platform/foundation/json_string.h"
#include "platform/foundation/utf8.h"
#include "tools/plim-catalog/number_text.h"

namespace plim {

void JsonLine::Name(std::string_view name) {
  if (out_.size() > 1) out_ += ',';
  Value(name);
  out_ += ':';
}

void JsonLine::Value(std::string_view text) {
  using foundation::JSONControls;
  using foundation::JSONSlashes;
  if (!foundation::appendJSONString(out_, text, JSONSlashes::kPlain, JSONControls::kAll)) {
    foundation::appendJSONString(out_, foundation::toValidUTF8(text), JSONSlashes::kPlain,
                                 JSONControls::kAll);
  }
}

JsonLine& JsonLine::Text(std::string_view name, std::string_view value) {
  Name(name);
  Value(value);
  return *this;
}

JsonLine& JsonLine::TextList(std::string_view name, const std::vector<std::string>& values) {
  Name(name);
  out_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out_ += ',';
    Value(values[i]);
  }
  out_ += ']';
  return *this;
}

JsonLine& JsonLine::Integer(std::string_view name, std::uint64_t value) {
  Name(name);
  out_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view name, double value, const char* format) {
  Name(name);
  out_ += FormatNumber(format, value);
  return *this;
}

JsonLine& JsonLine::Boolean(std::string_view name, bool value) {
  Name(name);
  out_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::ObjectList(std::string_view name, const std::vector<JsonLine>& objects) {
  Name(name);
  out_ += '[';
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (i > 0) out_ += ',';
    out_ += objects[i].out_ + '}';
  }
  out_ += ']';
  return *this;
}

}  // namespace plim
