// File URLs made from file-system paths.

#ifndef PLIM_PLATFORM_FOUNDATION_URL_H_
#define PLIM_PLATFORM_FOUNDATION_URL_H_

#include <string>

namespace plim::foundation {

// A URL. File URLs keep the path they were made from; `absoluteString` gives
// the text form, with the path percent-encoded as RFC 3986 requires.
// A plain value; safe to copy and to share read-only between threads.
class URL {
 public:
  // A file URL naming `path`, which is never parsed as a URL. A relative path
  // is resolved against the current directory at the time of the call.
  // `path` may name nothing yet; nothing is opened. Throws std::system_error
  // only when the current directory can't be read for a relative path.
  static URL fileURLWithPath(const std::string& path);

  // A URL taken as given (for example an artwork URL stored in a catalog).
  static URL fromString(std::string text);

  bool isFileURL() const { return is_file_; }
  // For a file URL: the absolute file-system path. Otherwise empty.
  const std::string& path() const { return path_; }
  // The absolute text form: "file:///abs/path" for a file URL.
  std::string absoluteString() const;

 private:
  URL() = default;
  bool is_file_ = false;
  std::string path_;  // absolute, for a file URL
  std::string text_;  // as given, otherwise
};

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_URL_H_
