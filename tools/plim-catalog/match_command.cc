#include "tools/plim-catalog/match_command.h"

#include <filesystem>
#include <string>

#include "platform/catalog/catalog_store.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/batch_match.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/timeline_command.h"

namespace plim {
namespace {

// Enough to see what came close behind the answer, not a whole catalog.
constexpr std::size_t kCandidatesShown = 10;

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
         FormatNumber("%.2f", c.confidence) + "\t" + FormatNumber("%.2f s", c.offset_s) + "\t" +
         FormatNumber("%+.2f%%", (c.speed - 1) * 100) + "\t" +
         FormatNumber("%.2g", c.false_match_probability) + "\t" + foundation::ShownText(r.artist) +
         "\t" + foundation::ShownText(r.title) + "\n";
}

int RunCandidatesOfOneFile(const GlobalOptions& global, const std::string& path) {
  const bool json = global.json;
  try {
    AudioFileSignature audio = SignAudioFile(path, ContentHash::kSkip);
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

}  // namespace

int RunMatchCommand(const GlobalOptions& global, const MatchCommandOptions& options) {
  if (options.timeline) return RunTimelineCommand(global, options.paths, options.jobs);
  std::error_code error;
  if (options.paths.size() == 1 && options.paths[0] != "-" &&
      !std::filesystem::is_directory(options.paths[0], error)) {
    return RunCandidatesOfOneFile(global, options.paths[0]);
  }
  return RunBatchMatch(global, options.paths, options.jobs);
}

}  // namespace plim
