#include "tools/plim-catalog/batch_match.h"

#include <cstdio>
#include <iostream>
#include <thread>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/ordered_jobs.h"

namespace plim {
namespace {

constexpr char kTextHeader[] = "FILE\tID\tARTIST\tTITLE\tOFFSET\tSKEW\tCONFIDENCE\n";

struct FileAnswer {
  std::string output;  // for standard output; empty for a file left out
  std::string error;   // for standard error
  bool failed = false;
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The audio layer's messages name the file; others may not.
std::string NamingFile(const std::string& message, const std::string& path) {
  if (message.find(path) != std::string::npos) return message;
  return foundation::QuotedText(path) + ": " + message;
}

FileAnswer Failure(const GlobalOptions& global, const std::string& path,
                   const std::string& message) {
  FileAnswer answer;
  answer.failed = true;
  const std::string text = NamingFile(message, path);
  if (global.json) {
    answer.output = JsonLine().Text("path", path).Text("error", text).Finish();
  } else {
    answer.error = "plim-catalog: " + text + "\n";
  }
  return answer;
}

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
    return Failure(global, file.path, error.description());
  }
  try {
    matching::MatchReport report = service.Search(audio.signature);
    catalog::Catalog::Reader reader = service.OpenCatalog().NewReader();
    for (const matching::MatchCandidate& c : report.candidates) {
      if (!c.accepted) break;  // accepted ones come first
      std::optional<catalog::Recording> r = reader.GetRecording(c.recording);
      if (!r) continue;  // removed since the search
      FileAnswer answer;
      answer.output = global.json
                          ? JsonLine()
                                .Text("path", file.path)
                                .Boolean("matched", true)
                                .Integer("id", c.recording)
                                .Text("artist", r->artist)
                                .Text("title", r->title)
                                .Number("offset_s", c.offset_s, "%.3f")
                                .Number("speed_skew", c.speed - 1, "%.4f")
                                .Number("confidence", c.confidence, "%.4f")
                                .Finish()
                          : file.path + "\t" + std::to_string(c.recording) + "\t" + r->artist +
                                "\t" + r->title + "\t" + Format("%.2f s", c.offset_s) + "\t" +
                                Format("%+.2f%%", (c.speed - 1) * 100) + "\t" +
                                Format("%.2f", c.confidence) + "\n";
      return answer;
    }
    FileAnswer answer;
    answer.output = global.json
                        ? JsonLine().Text("path", file.path).Boolean("matched", false).Finish()
                        : file.path + "\t-\tno match\n";
    return answer;
  } catch (const foundation::NSError& error) {
    return Failure(global, file.path, error.description());
  }
}

// The paths named, with "-" replaced by the lines of standard input.
std::vector<std::string> ExpandStandardInput(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const std::string& path : paths) {
    if (path != "-") {
      out.push_back(path);
      continue;
    }
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) out.push_back(line);
    }
  }
  return out;
}

}  // namespace

int RunBatchMatch(const GlobalOptions& global, const std::vector<std::string>& paths,
                  unsigned jobs) {
  shazamkit::CatalogRecognitionService service(global.catalog_directory);
  try {
    service.OpenCatalog();
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return kExitFailure;
  }
  const Discovery discovery = DiscoverFiles(ExpandStandardInput(paths));
  int status = kExitSuccess;
  for (const std::string& problem : discovery.problems) {
    foundation::writeToStandardError("plim-catalog: " + problem + "\n");
    status = kExitFailure;
  }
  if (!global.json) foundation::writeToStandardOutput(kTextHeader);
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  const std::vector<Candidate>& files = discovery.candidates;
  RunInOrder<FileAnswer>(
      files.size(), jobs, [&](std::size_t i) { return MatchFile(global, files[i], service); },
      [&](std::size_t, FileAnswer answer) {
        if (!answer.output.empty()) foundation::writeToStandardOutput(answer.output);
        if (!answer.error.empty()) foundation::writeToStandardError(answer.error);
        if (answer.failed) status = kExitFailure;
      });
  return status;
}

}  // namespace plim
