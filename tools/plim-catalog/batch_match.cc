#include "tools/plim-catalog/batch_match.h"

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/match_files.h"
#include "tools/plim-catalog/number_text.h"

namespace plim {
namespace {

constexpr char kTextHeader[] = "FILE\tID\tARTIST\tTITLE\tOFFSET\tSKEW\tCONFIDENCE\n";

FileAnswer MatchFile(const GlobalOptions& global, const Candidate& file,
                     shazamkit::CatalogRecognitionService& service) {
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
    for (const matching::MatchCandidate& c : report.candidates) {
      if (!c.accepted) break;  // accepted ones come first
      std::optional<catalog::Recording> r = reader->GetRecording(c.recording);
      if (!r) continue;  // removed since the search
      FileAnswer answer;
      answer.output = global.json ? JsonLine()
                                        .Text("path", file.path)
                                        .Boolean("matched", true)
                                        .Integer("id", c.recording)
                                        .Text("artist", r->artist)
                                        .Text("title", r->title)
                                        .Number("offset_s", c.offset_s, "%.3f")
                                        .Number("speed_skew", c.speed - 1, "%.4f")
                                        .Number("confidence", c.confidence, "%.4f")
                                        .Finish()
                                  : PathForTable(file.path) + "\t" + std::to_string(c.recording) +
                                        "\t" + foundation::ShownText(r->artist) + "\t" +
                                        foundation::ShownText(r->title) + "\t" +
                                        FormatNumber("%.2f s", c.offset_s) + "\t" +
                                        FormatNumber("%+.2f%%", (c.speed - 1) * 100) + "\t" +
                                        FormatNumber("%.2f", c.confidence) + "\n";
      return answer;
    }
    FileAnswer answer;
    answer.output = global.json
                        ? JsonLine().Text("path", file.path).Boolean("matched", false).Finish()
                        : PathForTable(file.path) + "\t-\tno match\n";
    return answer;
  } catch (const foundation::NSError& error) {
    return FailedFile(global, file.path, error.description());
  }
}

}  // namespace

int RunBatchMatch(const GlobalOptions& global, const std::vector<std::string>& paths,
                  unsigned jobs) {
  return AnswerFiles(global, paths, jobs, kTextHeader,
                     [&](const Candidate& file, shazamkit::CatalogRecognitionService& service) {
                       return MatchFile(global, file, service);
                     });
}

}  // namespace plim
