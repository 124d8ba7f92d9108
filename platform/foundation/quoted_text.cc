#include "platform/foundation/quoted_text.h"

#include "platform/foundation/utf8.h"

namespace plim::foundation {
namespace {

void AppendHexEscape(std::string& out, char prefix_letter, unsigned value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(prefix_letter);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out.push_back(kHex[(value >> shift) & 0xF]);
}

void AppendEscaped(std::string& out, std::string_view text, bool escape_quotes) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = UTF8SequenceLength(text, i);
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (n == 0) {
      AppendHexEscape(out, 'x', c, 2);
      ++i;
      continue;
    }
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // A C1 control: some terminals act on it as they would on ESC [.
      AppendHexEscape(out, 'u', static_cast<unsigned char>(text[i + 1]), 4);
    } else if (c == '\\' || (c == '"' && escape_quotes)) {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, 'x', c, 2);
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
}

}  // namespace

std::string QuotedText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  AppendEscaped(out, text, /*escape_quotes=*/true);
  out.push_back('"');
  return out;
}

std::string ShownText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, /*escape_quotes=*/false);
  return out;
}

std::string MessageNamingFile(std::string_view path, const std::string& message) {
  const std::string quoted = QuotedText(path);
  return message.find(quoted) != std::string::npos ? message : quoted + ": " + message;
}

}  // namespace plim::foundation
