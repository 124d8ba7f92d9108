// UTF-8 validation.

#ifndef PLIM_PLATFORM_FOUNDATION_UTF8_H_
#define PLIM_PLATFORM_FOUNDATION_UTF8_H_

#include <string>
#include <string_view>

namespace plim::foundation {

// True when `text` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence. Pure function.
bool isValidUTF8(std::string_view text);

// The length in bytes of the well-formed UTF-8 sequence that starts at byte
// `i` of `text` (1 to 4), or 0 when the bytes there are ill-formed.
// `i` < text.size(). Pure function.
std::size_t UTF8SequenceLength(std::string_view text, std::size_t i);

// `text` with every ill-formed byte sequence replaced by U+FFFD, for texts
// taken from outside (file tags, file names) before they are stored.
std::string toValidUTF8(std::string_view text);

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_UTF8_H_
