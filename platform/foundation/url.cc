#include "platform/foundation/url.h"

#include <filesystem>

namespace plim::foundation {

URL URL::fileURLWithPath(const std::string& path) {
  URL url;
  url.is_file_ = true;
  std::filesystem::path p(path);
  if (p.is_absolute()) {
    url.path_ = p.string();
  } else if (path.empty()) {
    // An empty path names the current directory, without a trailing separator.
    url.path_ = std::filesystem::current_path().string();
  } else {
    url.path_ = (std::filesystem::current_path() / p).string();
  }
  return url;
}

URL URL::fromString(std::string text) {
  URL url;
  url.text_ = std::move(text);
  return url;
}

std::string URL::absoluteString() const {
  if (!is_file_) return text_;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path_) {
    // Unreserved characters and the path separators stay as they are.
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == '!' || c == '$' ||
                c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' ||
                c == ';' || c == '=' || c == ':' || c == '@';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace plim::foundation
