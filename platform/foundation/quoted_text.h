// Texts from outside (file paths, tags) quoted inside a one-line message.

#ifndef PLIM_PLATFORM_FOUNDATION_QUOTED_TEXT_H_
#define PLIM_PLATFORM_FOUNDATION_QUOTED_TEXT_H_

#include <string>
#include <string_view>

namespace plim::foundation {

// `text` between double quotes, made safe to print inside a one-line message
// on a terminal: '\' and '"' get a '\' before them; line feed, carriage
// return and tab become \n, \r, \t; every other C0 control, DEL and every
// byte that is not part of well-formed UTF-8 becomes \xHH (two lowercase hex
// digits); the C1 controls U+0080..U+009F become \u00HH. Everything else,
// well-formed non-ASCII included, is kept as its bytes. So the result never
// holds a line break or a terminal control sequence, and two different texts
// never quote the same. Every error message of both programs that names a
// path or a tag quotes it through this function. Pure function.
std::string QuotedText(std::string_view text);

// `text` escaped as QuotedText escapes it, without the quotes around it and
// with '"' kept as it is: for a tag or path shown on its own, as a cell of a
// tab-separated table or after "title: ". The result never holds a tab, a line
// break or a terminal control sequence, and two different texts never show
// the same. Every text output of plim-catalog shows tags and paths through
// this function (or QuotedText). Pure function.
std::string ShownText(std::string_view text);

// `message` about the file at `path`, made to name it: as it is when it
// holds QuotedText(path) already, else with QuotedText(path) and ": " before
// it. For messages from below the layer that knows the path (a signature
// refused, a catalog error) that must say which of many files they are about.
// Pure function.
std::string MessageNamingFile(std::string_view path, const std::string& message);

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_QUOTED_TEXT_H_
