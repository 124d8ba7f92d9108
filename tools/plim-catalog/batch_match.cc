#include "tools/plim-catalog/batch_match.h"

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/match_files.h"
#include "tools/plim-catalog/number_text.h"

namespace plim {
namespace {

constexpr char kTextHeader[] = "FILE\tID\tARTIST\tTITLE\tOFFSET\tSKEW\tCONFIDENCE\n";

// Enough to see what came close behind the answer, not a whole catalog.
constexpr std::size_t kCandidatesShown = 10;

constexpr char kCandidatesHeader[] =
    "ID\tMATCH\tALIGNED\tCONFIDENCE\tOFFSET\tSKEW\tP(FALSE)\tARTIST\tTITLE\n";

// What the columns mean, for a reader who has not seen the matcher.
constexpr char kCandidatesLegend[] =
    "\nALIGNED: the clip's landmarks found in the recording at one offset, out of all found in "
    "it.\nOFFSET: where in the recording the clip starts. SKEW: how much faster the clip "
    "plays.\nP(FALSE): the chance that unrelated audio would align this well.\n";

struct Shown {
  matching::MatchCandidate candidate;
  catalog::Recording recording;
};

JsonLine CandidateJson(const Shown& s) {
  const matching::MatchCandidate& c = s.candidate;
  JsonLine line;
  line.Integer("id", c.recording)
      .Text("title", s.recording.title)
      .Text("artist", s.recording.artist)
      .Boolean("accepted", c.accepted)
      .Integer("aligned_landmarks", c.aligned_landmarks)
      .Integer("hits", c.hits)
      .Number("confidence", c.confidence, "%.4f")
      .Number("offset_s", c.offset_s, "%.3f")
      .Number("speed_skew", c.speed - 1, "%.4f")
      .Number("false_match_probability", c.false_match_probability, "%.3g")
      .Text("path", s.recording.source_path);
  return line;
}

std::string CandidateText(const Shown& s) {
  const matching::MatchCandidate& c = s.candidate;
  return std::to_string(c.recording) + "\t" + (c.accepted ? "yes" : "no") + "\t" +
         std::to_string(c.aligned_landmarks) + "/" + std::to_string(c.hits) + "\t" +
         FormatNumber("%.2f", c.confidence) + "\t" + FormatNumber("%.2f s", c.offset_s) + "\t" +
         FormatNumber("%+.2f%%", (c.speed - 1) * 100) + "\t" +
         FormatNumber("%.2g", c.false_match_probability) + "\t" +
         foundation::ShownText(s.recording.artist) + "\t" +
         foundation::ShownText(s.recording.title) + "\n";
}

// The answer line of `path`: its best accepted candidate, the first of
// `shown` (accepted ones come first), or no match.
std::string AnswerText(const GlobalOptions& global, const std::string& path,
                       const std::vector<Shown>& shown, bool with_candidates) {
  const bool matched = !shown.empty() && shown.front().candidate.accepted;
  if (global.json) {
    JsonLine line;
    line.Text("path", path).Boolean("matched", matched);
    if (matched) {
      const Shown& best = shown.front();
      const matching::MatchCandidate& c = best.candidate;
      line.Integer("id", c.recording)
          .Text("artist", best.recording.artist)
          .Text("title", best.recording.title)
          .Number("offset_s", c.offset_s, "%.3f")
          .Number("speed_skew", c.speed - 1, "%.4f")
          .Number("confidence", c.confidence, "%.4f");
    }
    if (with_candidates) {
      std::vector<JsonLine> candidates;
      for (const Shown& s : shown) candidates.push_back(CandidateJson(s));
      line.ObjectList("candidates", candidates);
    }
    return line.Finish();
  }
  if (with_candidates) {
    std::string out = PathForTable(path) + "\n";
    if (shown.empty()) return out + "no candidates\n";
    out += kCandidatesHeader;
    for (const Shown& s : shown) out += CandidateText(s);
    return out;
  }
  if (!matched) return PathForTable(path) + "\t-\tno match\n";
  const Shown& best = shown.front();
  const matching::MatchCandidate& c = best.candidate;
  return PathForTable(path) + "\t" + std::to_string(c.recording) + "\t" +
         foundation::ShownText(best.recording.artist) + "\t" +
         foundation::ShownText(best.recording.title) + "\t" + FormatNumber("%.2f s", c.offset_s) +
         "\t" + FormatNumber("%+.2f%%", (c.speed - 1) * 100) + "\t" +
         FormatNumber("%.2f", c.confidence) + "\n";
}

FileAnswer MatchFile(const GlobalOptions& global, const Candidate& file,
                     shazamkit::CatalogRecognitionService& service, bool with_candidates) {
  AudioFileSignature audio;
  try {
    audio = SignAudioFile(file.path, ContentHash::kSkip);
  } catch (const foundation::NSError& error) {
    const bool not_audio = error.domain() == avfaudio::kAVFAudioErrorDomain &&
                           (error.code() == avfaudio::kAVAudioFileErrorNotAudioFile ||
                            error.code() == avfaudio::kAVAudioFileErrorNoDecodableAudio);
    if (not_audio && !file.named_explicitly && !HasAudioExtension(file.path)) return {};
    return FailedFile(global, file.path, error.description());
  }
  try {
    matching::MatchReport report = service.Search(audio.signature);
    const std::unique_ptr<catalog::CatalogReader> reader = service.OpenCatalog().NewCatalogReader();
    // Without --candidates only the best accepted one is wanted.
    std::vector<Shown> shown;
    for (const matching::MatchCandidate& c : report.candidates) {
      if (shown.size() == (with_candidates ? kCandidatesShown : 1)) break;
      if (!with_candidates && !c.accepted) break;
      std::optional<catalog::Recording> r = reader->GetRecording(c.recording);
      if (r) shown.push_back({c, std::move(*r)});  // else removed since the search
    }
    FileAnswer answer;
    answer.output = AnswerText(global, file.path, shown, with_candidates);
    return answer;
  } catch (const foundation::NSError& error) {
    return FailedFile(global, file.path, error.description());
  }
}

}  // namespace

int RunBatchMatch(const GlobalOptions& global, const std::vector<std::string>& paths, unsigned jobs,
                  bool with_candidates) {
  const int status =
      AnswerFiles(global, paths, jobs, with_candidates ? "" : kTextHeader,
                  [&](const Candidate& file, shazamkit::CatalogRecognitionService& service) {
                    return MatchFile(global, file, service, with_candidates);
                  });
  if (with_candidates && !global.json && !global.quiet) {
    foundation::writeToStandardOutput(kCandidatesLegend);
  }
  return status;
}

}  // namespace plim
