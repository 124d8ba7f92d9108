// The result record of one recognition request, and its JSON keys.

#ifndef PLIM_OUTPUT_MATCH_OUTPUT_H_
#define PLIM_OUTPUT_MATCH_OUTPUT_H_

#include <array>
#include <optional>
#include <string>

namespace plim {

// The outcome of one recognition request. A plain value that owns its texts
// (UTF-8); copy it freely. An absent optional differs from a present empty
// text. The initial value is `matched` false with every optional absent.
struct MatchOutput {
  bool matched = false;
  std::optional<std::string> artist;   // the first media item's artist
  std::optional<std::string> title;    // the first media item's title
  std::optional<std::string> artwork;  // the absolute text of its artwork URL
  std::optional<std::string> message;  // why nothing was matched

  MatchOutput() = default;
  MatchOutput(bool matched, std::optional<std::string> artist, std::optional<std::string> title,
              std::optional<std::string> artwork, std::optional<std::string> message)
      : matched(matched),
        artist(std::move(artist)),
        title(std::move(title)),
        artwork(std::move(artwork)),
        message(std::move(message)) {}

  bool operator==(const MatchOutput&) const = default;
};

// The ordered key set of MatchOutput's JSON form: one key per field, in the
// order the members are written.
enum class CodingKeys { matched, artist, title, artwork, message };

inline constexpr std::array<CodingKeys, 5> kAllCodingKeys = {
    CodingKeys::matched, CodingKeys::artist, CodingKeys::title, CodingKeys::artwork,
    CodingKeys::message};

// The member name under which `key`'s field is written.
constexpr const char* memberName(CodingKeys key) {
  switch (key) {
    case CodingKeys::matched:
      return "matched";
    case CodingKeys::artist:
      return "artist";
    case CodingKeys::title:
      return "title";
    case CodingKeys::artwork:
      return "artwork";
    case CodingKeys::message:
      return "message";
  }
  return "";
}

}  // namespace plim

#endif  // PLIM_OUTPUT_MATCH_OUTPUT_H_
