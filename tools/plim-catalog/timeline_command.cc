#include "tools/plim-catalog/timeline_command.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/foundation/url.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/match_files.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/timeline.h"
#include "tools/plim-catalog/window_follower.h"
#include "tools/plim-catalog/windowed_fingerprinter.h"

namespace plim {
namespace {

// Long enough that per-read costs vanish, short enough to stay in cache.
constexpr double kReadChunkS = 2.0;

// CPU time of the calling thread: files may be followed on several at once.
double ThreadCpuS() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct FileTimeline {
  std::vector<Stretch> stretches;
  double duration_s = 0;
};

FileTimeline FollowFile(const std::string& path, const catalog::CatalogReader& reader) {
  std::unique_ptr<avfaudio::AVAudioFile> file =
      avfaudio::AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  const avfaudio::AVAudioFormat format = file->processingFormat();
  const auto capacity = static_cast<avfaudio::AVAudioFrameCount>(
      std::max(1.0, std::min(format.sampleRate() * kReadChunkS, 1e7)));
  std::unique_ptr<avfaudio::AVAudioPCMBuffer> buffer =
      avfaudio::AVAudioPCMBuffer::initWithPCMFormat(format, capacity);
  if (buffer == nullptr) throw std::bad_alloc();
  std::vector<WindowMatch> matches;
  WindowFollower follower(
      reader,
      [&](double, std::vector<WindowMatch> window_matches) {
        matches.insert(matches.end(), window_matches.begin(), window_matches.end());
      },
      [&](const WindowMatch& before, const WindowMatch& after) {
        for (auto m = matches.rbegin(); m != matches.rend(); ++m) {
          if (SameMatch(*m, before)) {
            *m = after;
            break;
          }
        }
      });
  WindowedFingerprinter windows(format,
                                [&](AudioWindow window) { follower.Follow(std::move(window)); });
  std::int64_t frames = 0;
  for (;;) {
    file->readIntoBuffer(*buffer);
    if (buffer->frameLength() == 0) break;
    windows.Append(*buffer);
    frames += buffer->frameLength();
  }
  windows.Finish();
  follower.Finish();
  FileTimeline timeline;
  timeline.duration_s = static_cast<double>(frames) / format.sampleRate();
  timeline.stretches = JoinWindowMatches(std::move(matches), kWindowHopS);
  for (Stretch& s : timeline.stretches) s.end_s = std::min(s.end_s, timeline.duration_s);
  return timeline;
}

std::string Describe(const GlobalOptions& global, const std::string& path, const Stretch& s,
                     const catalog::Recording& r) {
  if (global.json) {
    return JsonLine()
        .Text("path", path)
        .Number("start_s", s.start_s, "%.1f")
        .Number("end_s", s.end_s, "%.1f")
        .Integer("id", s.recording)
        .Text("artist", r.artist)
        .Text("title", r.title)
        .Number("recording_offset_s", s.recording_offset_s, "%.1f")
        .Number("speed_skew", s.speed - 1, "%.4f")
        .Number("confidence", s.confidence, "%.4f")
        .Finish();
  }
  return ClockTime(s.start_s) + "\t" + ClockTime(s.end_s) + "\t" + std::to_string(s.recording) +
         "\t" + foundation::ShownText(r.artist) + "\t" + foundation::ShownText(r.title) + "\t" +
         ClockTime(s.recording_offset_s) + "\t" + FormatNumber("%+.2f%%", (s.speed - 1) * 100) +
         "\t" + FormatNumber("%.2f", s.confidence) + "\n";
}

constexpr char kTextHeader[] = "START\tEND\tID\tARTIST\tTITLE\tFROM\tSKEW\tCONFIDENCE\n";

// The timeline of one file, as it is to be written.
FileAnswer TimelineOf(const GlobalOptions& global, const Candidate& file,
                      shazamkit::CatalogRecognitionService& service) {
  const std::string& path = file.path;
  const double start_cpu_s = ThreadCpuS();
  const std::unique_ptr<catalog::CatalogReader> reader = service.OpenCatalog().NewCatalogReader();
  FileTimeline timeline;
  try {
    timeline = FollowFile(path, *reader);
  } catch (const foundation::NSError& error) {
    return FailedFile(global, path, error.description());
  }
  FileAnswer answer;
  answer.output = global.json ? "" : PathForTable(path) + "\n" + kTextHeader;
  for (const Stretch& s : timeline.stretches) {
    std::optional<catalog::Recording> r = reader->GetRecording(s.recording);
    if (r) answer.output += Describe(global, path, s, *r);
  }
  if (!global.json && timeline.stretches.empty()) {
    answer.output += "nothing in the catalog heard\n";
  }
  if (!global.quiet) {
    const double cpu_s = ThreadCpuS() - start_cpu_s;
    answer.error = "plim-catalog: " + foundation::QuotedText(path) + ": " +
                   FormatNumber("%.1f", timeline.duration_s / 60) + " min of audio in " +
                   FormatNumber("%.1f", cpu_s) + " s CPU, " +
                   FormatNumber("%.0f", timeline.duration_s / std::max(cpu_s, 1e-9)) +
                   "\xC3\x97 real time\n";
  }
  return answer;
}

}  // namespace

int RunTimelineCommand(const GlobalOptions& global, const std::vector<std::string>& paths,
                       unsigned jobs) {
  return AnswerFiles(global, paths, jobs, "",
                     [&](const Candidate& file, shazamkit::CatalogRecognitionService& service) {
                       return TimelineOf(global, file, service);
                     });
}

}  // namespace plim
