#include "tools/plim-catalog/match_command.h"

#include <cstdio>
#include <string>

#include "platform/catalog/catalog.h"
#include "platform/foundation/json_string.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"

namespace plim {
namespace {

// Enough to see what came close behind the answer, not a whole catalog.
constexpr std::size_t kCandidatesShown = 10;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string JsonLine(const matching::MatchCandidate& c, const catalog::Recording& r) {
  std::string out = "{\"id\":" + std::to_string(c.recording) + ",\"title\":";
  foundation::appendJSONString(out, r.title);
  out += ",\"artist\":";
  foundation::appendJSONString(out, r.artist);
  out += ",\"accepted\":";
  out += c.accepted ? "true" : "false";
  out += ",\"aligned_landmarks\":" + std::to_string(c.aligned_landmarks) +
         ",\"hits\":" + std::to_string(c.hits) + ",\"confidence\":" + Format("%.4f", c.confidence) +
         ",\"offset_s\":" + Format("%.3f", c.offset_s) +
         ",\"speed_skew\":" + Format("%.4f", c.speed - 1) +
         ",\"false_match_probability\":" + Format("%.3g", c.false_match_probability) + "}\n";
  return out;
}

std::string TextLine(const matching::MatchCandidate& c, const catalog::Recording& r) {
  return std::to_string(c.recording) + "\t" + (c.accepted ? "match" : "no") + "\t" + r.artist +
         "\t" + r.title + "\taligned " + std::to_string(c.aligned_landmarks) + "/" +
         std::to_string(c.hits) + "\tconfidence " + Format("%.2f", c.confidence) + "\toffset " +
         Format("%.2f s", c.offset_s) + "\tskew " + Format("%+.2f%%", (c.speed - 1) * 100) +
         "\tp " + Format("%.2g", c.false_match_probability) + "\n";
}

}  // namespace

int RunMatchCommand(const std::string& catalog_directory, const std::string& path, bool json) {
  try {
    AudioFileSignature audio = SignAudioFile(path);
    shazamkit::CatalogRecognitionService service(catalog_directory);
    matching::MatchReport report = service.Search(audio.signature);
    catalog::Catalog::Reader reader = service.OpenCatalog().NewReader();
    std::string out;
    std::size_t shown = 0;
    for (const matching::MatchCandidate& candidate : report.candidates) {
      if (shown++ == kCandidatesShown) break;
      std::optional<catalog::Recording> recording = reader.GetRecording(candidate.recording);
      if (!recording) continue;
      out += json ? JsonLine(candidate, *recording) : TextLine(candidate, *recording);
    }
    if (!json && report.candidates.empty()) out = "no candidates\n";
    foundation::writeToStandardOutput(out);
    return 0;
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
}

}  // namespace plim
