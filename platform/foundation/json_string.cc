#include "platform/foundation/json_string.h"

#include "platform/foundation/utf8.h"

namespace plim::foundation {

bool appendJSONString(std::string& out, std::string_view text, JSONSlashes slashes,
                      JSONControls controls) {
  if (!isValidUTF8(text)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  const bool all_controls = controls == JSONControls::kAll;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    unsigned char c = static_cast<unsigned char>(ch);
    if (all_controls && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // Valid UTF-8, so a continuation byte follows: U+0080..U+009F.
      c = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += slashes == JSONSlashes::kEscaped ? "\\/" : "/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || (all_controls && c == 0x7F)) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return true;
}

}  // namespace plim::foundation
