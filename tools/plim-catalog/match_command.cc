#include "tools/plim-catalog/match_command.h"

#include <cstdio>
#include <string>

#include "platform/catalog/catalog_store.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/json_line.h"

namespace plim {
namespace {

// Enough to see what came close behind the answer, not a whole catalog.
constexpr std::size_t kCandidatesShown = 10;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string JsonFor(const matching::MatchCandidate& c, const catalog::Recording& r) {
  return JsonLine()
      .Integer("id", c.recording)
      .Text("title", r.title)
      .Text("artist", r.artist)
      .Boolean("accepted", c.accepted)
      .Integer("aligned_landmarks", c.aligned_landmarks)
      .Integer("hits", c.hits)
      .Number("confidence", c.confidence, "%.4f")
      .Number("offset_s", c.offset_s, "%.3f")
      .Number("speed_skew", c.speed - 1, "%.4f")
      .Number("false_match_probability", c.false_match_probability, "%.3g")
      .Text("path", r.source_path)
      .Finish();
}

constexpr char kTextHeader[] =
    "ID\tMATCH\tALIGNED\tCONFIDENCE\tOFFSET\tSKEW\tP(FALSE)\tARTIST\tTITLE\n";

// What the columns mean, for a reader who has not seen the matcher.
constexpr char kTextLegend[] =
    "\nALIGNED: the clip's landmarks found in the recording at one offset, out of all found in "
    "it.\nOFFSET: where in the recording the clip starts. SKEW: how much faster the clip "
    "plays.\nP(FALSE): the chance that unrelated audio would align this well.\n";

std::string TextLine(const matching::MatchCandidate& c, const catalog::Recording& r) {
  return std::to_string(c.recording) + "\t" + (c.accepted ? "yes" : "no") + "\t" +
         std::to_string(c.aligned_landmarks) + "/" + std::to_string(c.hits) + "\t" +
         Format("%.2f", c.confidence) + "\t" + Format("%.2f s", c.offset_s) + "\t" +
         Format("%+.2f%%", (c.speed - 1) * 100) + "\t" + Format("%.2g", c.false_match_probability) +
         "\t" + r.artist + "\t" + r.title + "\n";
}

}  // namespace

int RunMatchCommand(const GlobalOptions& global, const std::string& path) {
  const bool json = global.json;
  try {
    AudioFileSignature audio = SignAudioFile(path);
    shazamkit::CatalogRecognitionService service(global.catalog_directory);
    matching::MatchReport report = service.Search(audio.signature);
    std::unique_ptr<catalog::CatalogReader> reading = service.OpenCatalog().NewCatalogReader();
    const catalog::CatalogReader& reader = *reading;
    std::string out = json ? "" : kTextHeader;
    std::size_t shown = 0;
    for (const matching::MatchCandidate& candidate : report.candidates) {
      if (shown++ == kCandidatesShown) break;
      std::optional<catalog::Recording> recording = reader.GetRecording(candidate.recording);
      if (!recording) continue;
      out += json ? JsonFor(candidate, *recording) : TextLine(candidate, *recording);
    }
    if (!json && report.candidates.empty()) out = "no candidates\n";
    if (!json && !report.candidates.empty() && !global.quiet) out += kTextLegend;
    foundation::writeToStandardOutput(out);
    return 0;
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
}

}  // namespace plim
