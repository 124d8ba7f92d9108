#include "tools/plim-catalog/timeline_command.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/foundation/url.h"
#include "platform/matching/matcher.h"
#include "platform/matching/peak_verification.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/match_files.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/timeline.h"
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

// h:mm:ss.s, for times along a recording of hours.
std::string ClockTime(double s) {
  s = std::max(0.0, s);
  const auto tenths = static_cast<long long>(s * 10 + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60,
                tenths / 10 % 60, tenths % 10);
  return text;
}

// A recording plays through many overlapping windows, so one window need not
// try as hard as a lone clip: only its best-nominated candidates are placed
// again from their peaks, and in a catalog of hundreds of hours only a
// window's rarer hashes are looked at (its hits bounded as a lone clip's
// first pass is).
constexpr matching::MatchEffort kWindowEffort{.realigned_candidates = 4, .max_hits = 50'000};

// Matches each window as it comes and records the accepted recordings with
// where each is heard. A recording's first window may not hold enough of it
// to be accepted in the window before (a fade-in, a crossfade), nor its
// last in the window after; its peaks may still be heard there along the
// same alignment, so the edges are looked for there too.
class WindowFollower {
 public:
  explicit WindowFollower(const catalog::CatalogReader& reader) : reader_(reader) {}

  void Follow(AudioWindow window) {
    const std::vector<fingerprint::Landmark> landmarks = fingerprint::QueryLandmarks(window.peaks);
    std::vector<Accepted> accepted;
    auto peaks = std::make_unique<matching::QueryPeaks>(window.peaks);
    if (!landmarks.empty()) {
      const matching::MatchReport report =
          matching::FindMatches(reader_, landmarks, window.peaks, kWindowEffort);
      for (const matching::MatchCandidate& c : report.candidates) {
        if (!c.accepted) break;  // accepted ones come first
        std::optional<catalog::Recording> recording = reader_.GetRecording(c.recording);
        if (!recording) continue;
        WindowMatch m;
        m.window_start_s = window.start_s;
        m.recording = c.recording;
        m.recording_duration_s = recording->duration_s;
        m.offset_s = c.offset_s;
        m.speed = c.speed;
        m.confidence = c.confidence;
        m.heard_s = Heard(*peaks, window.start_s, c);
        matches_.push_back(m);
        accepted.push_back({matches_.size() - 1, c});
      }
    }
    if (previous_peaks_ != nullptr) {
      const double shift_s = window.start_s - previous_start_s_;
      for (const Accepted& a : accepted) {
        if (!AcceptedIn(previous_, a.candidate.recording)) {
          ExtendStart(matches_[a.index],
                      Heard(*previous_peaks_, previous_start_s_, Shifted(a.candidate, -shift_s)));
        }
      }
      for (const Accepted& a : previous_) {
        if (!AcceptedIn(accepted, a.candidate.recording)) {
          ExtendEnd(matches_[a.index],
                    Heard(*peaks, window.start_s, Shifted(a.candidate, shift_s)));
        }
      }
    }
    previous_ = std::move(accepted);
    previous_peaks_ = std::move(peaks);
    previous_start_s_ = window.start_s;
  }

  std::vector<WindowMatch> TakeMatches() { return std::move(matches_); }

 private:
  struct Accepted {
    std::size_t index;  // into matches_
    matching::MatchCandidate candidate;
  };

  static bool AcceptedIn(const std::vector<Accepted>& list, catalog::RecordingId recording) {
    return std::any_of(list.begin(), list.end(),
                       [&](const Accepted& a) { return a.candidate.recording == recording; });
  }

  // The same alignment, for a window starting `shift_s` later.
  static matching::MatchCandidate Shifted(matching::MatchCandidate c, double shift_s) {
    c.offset_s += shift_s * c.speed;
    return c;
  }

  static void ExtendStart(WindowMatch& m, std::optional<std::pair<double, double>> before) {
    if (!before) return;
    if (!m.heard_s) m.heard_s.emplace(m.window_start_s, m.window_start_s + 2 * kWindowHopS);
    m.heard_s->first = std::min(m.heard_s->first, before->first);
  }

  static void ExtendEnd(WindowMatch& m, std::optional<std::pair<double, double>> after) {
    if (!after) return;
    if (!m.heard_s) m.heard_s.emplace(m.window_start_s, m.window_start_s + 2 * kWindowHopS);
    m.heard_s->second = std::max(m.heard_s->second, after->second);
  }

  std::optional<std::pair<double, double>> Heard(const matching::QueryPeaks& window,
                                                 double window_start_s,
                                                 const matching::MatchCandidate& c) {
    const double offset_frames = c.offset_s / fingerprint::kFrameDurationS;
    reference_.clear();
    reader_.ReadPeaks(c.recording, offset_frames - 2,
                      offset_frames + (window.duration_frames() + 2) * c.speed, reference_);
    return HeardSpan(window, window_start_s, reference_, c);
  }

  const catalog::CatalogReader& reader_;
  std::vector<WindowMatch> matches_;
  std::vector<Accepted> previous_;  // of the window before
  std::unique_ptr<matching::QueryPeaks> previous_peaks_;
  double previous_start_s_ = 0;
  std::vector<fingerprint::Peak> reference_;  // scratch
};

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
  WindowFollower follower(reader);
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
  FileTimeline timeline;
  timeline.duration_s = static_cast<double>(frames) / format.sampleRate();
  timeline.stretches = JoinWindowMatches(follower.TakeMatches(), kWindowHopS);
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
