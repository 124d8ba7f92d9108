// JSON string literals in the form every plim program writes them.

#ifndef PLIM_PLATFORM_FOUNDATION_JSON_STRING_H_
#define PLIM_PLATFORM_FOUNDATION_JSON_STRING_H_

#include <string>
#include <string_view>

namespace plim::foundation {

// Whether '/' is written as \/ (the result line's form) or as itself.
enum class JSONSlashes { kEscaped, kPlain };

// Whether DEL and the C1 controls U+0080..U+009F are written as themselves
// (the result line's form) or as \u007f, \u0080... so that no terminal acts
// on them.
enum class JSONControls { kC0Only, kAll };

// Appends `text` to `out` as a JSON string literal, quotes included:
// '"' as \", '\' as \\, '/' as \/ (or itself with kPlain); U+0008, U+000C, U+000A, U+000D, U+0009
// as \b, \f, \n, \r, \t; every other character below U+0020 as \u00xx with lowercase hex digits;
// DEL and C1 likewise with kAll; all else, non-ASCII included, as its raw UTF-8 bytes. Returns
// false, leaving `out` unchanged, when `text` is not valid UTF-8.
bool appendJSONString(std::string& out, std::string_view text,
                      JSONSlashes slashes = JSONSlashes::kEscaped,
                      JSONControls controls = JSONControls::kC0Only);

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_JSON_STRING_H_
