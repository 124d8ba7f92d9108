#include "tools/plim-catalog/listen_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/avfaudio/live_audio_source.h"
#include "platform/catalog/catalog_store.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "platform/shazamkit/catalog_recognition_service.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/stretch_tracker.h"
#include "tools/plim-catalog/window_follower.h"
#include "tools/plim-catalog/windowed_fingerprinter.h"

namespace plim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Short reads keep the time from audio arriving to its window being
// matched low; per-read costs are small beside matching either way.
constexpr double kReadChunkS = 0.5;
constexpr double kCatalogRefreshS = 60;
constexpr double kFirstBackoffS = 1, kLongestBackoffS = 60;

// Set by the signal handlers; the self-pipe wakes a wait between attempts.
std::atomic<bool> stop_requested{false};
std::atomic<int> stop_signal{0};
int wake_pipe_write = -1;

void OnStopSignal(int signal) {
  stop_signal.store(signal);
  stop_requested.store(true);
  const char byte = 0;
  // Async-signal-safe; a full pipe already wakes the waiter.
  [[maybe_unused]] ssize_t written = write(wake_pipe_write, &byte, 1);
}

// Lets Ctrl-C and SIGTERM end the listening with its end events while
// installed. The handlers reset themselves, so a second signal ends the
// program at once.
class StopSignals {
 public:
  StopSignals() {
    stop_requested.store(false);
    stop_signal.store(0);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    read_end_ = ends[0];
    wake_pipe_write = ends[1];
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a blocked wait returns
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_interrupt_);
    sigaction(SIGTERM, &action, &previous_terminate_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previous_interrupt_, nullptr);
    sigaction(SIGTERM, &previous_terminate_, nullptr);
    close(read_end_);
    close(wake_pipe_write);
    wake_pipe_write = -1;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits `seconds`, or less when a stop signal comes. Returns whether one came.
  bool Wait(double seconds) const {
    const auto until = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                std::chrono::duration<double>(seconds));
    while (!stop_requested.load()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
      if (left.count() <= 0) break;
      pollfd wake = {read_end_, POLLIN, 0};
      poll(&wake, 1, static_cast<int>(left.count()));
    }
    return stop_requested.load();
  }

 private:
  int read_end_ = -1;
  struct sigaction previous_interrupt_ = {};
  struct sigaction previous_terminate_ = {};
};

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// ISO 8601 in UTC, to the millisecond.
std::string WallTime(std::chrono::system_clock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
  const time_t seconds = static_cast<time_t>(ms.count() / 1000);
  tm parts = {};
  gmtime_r(&seconds, &parts);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return text;
}

// Writes the events, naming each recording from the catalog as it is now.
class EventWriter {
 public:
  EventWriter(const GlobalOptions& global, std::chrono::system_clock::time_point began)
      : json_(global.json), began_(began) {}

  void Write(const char* event, const Stretch& s, const catalog::CatalogReader& reader) const {
    const std::optional<catalog::Recording> r = reader.GetRecording(s.recording);
    const std::string artist = r ? r->artist : "", title = r ? r->title : "";
    const bool start = std::string_view(event) == "start";
    const double at_s = start ? s.start_s : s.end_s;
    const std::string wall =
        WallTime(began_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              std::chrono::duration<double>(at_s)));
    if (json_) {
      JsonLine line;
      line.Text("event", event).Number("start_s", s.start_s, "%.1f");
      if (!start) line.Number("end_s", s.end_s, "%.1f");
      line.Text(start ? "start_time" : "end_time", wall)
          .Integer("id", s.recording)
          .Text("artist", artist)
          .Text("title", title)
          .Number("recording_offset_s", s.recording_offset_s, "%.1f")
          .Number("speed_skew", s.speed - 1, "%.4f")
          .Number("confidence", s.confidence, "%.4f");
      foundation::writeToStandardOutput(line.Finish());
      return;
    }
    foundation::writeToStandardOutput(
        std::string(event) + "\t" + ClockTime(at_s) + "\t" + wall + "\t" +
        std::to_string(s.recording) + "\t" + foundation::ShownText(artist) + "\t" +
        foundation::ShownText(title) + "\t" + ClockTime(s.recording_offset_s) + "\t" +
        FormatNumber("%+.2f%%", (s.speed - 1) * 100) + "\t" + FormatNumber("%.2f", s.confidence) +
        "\n");
  }

 private:
  bool json_;
  std::chrono::system_clock::time_point began_;
};

avfaudio::LiveSourceOptions SourceOptions(const ListenCommandOptions& options) {
  return {.stall_timeout_s = options.stall_timeout_s, .stop = &stop_requested};
}

void Say(const std::string& line) {
  foundation::writeToStandardError("plim-catalog: " + line + "\n");
}

// Listens to `source` (open) until the end of standard input, a stop
// signal, or a loss that is not reconnected (with options.once, or on
// standard input). A loss of a URL or device is reconnected with backoff.
// Throws foundation::NSError when the catalog fails.
int Listen(const GlobalOptions& global, const ListenCommandOptions& options,
           catalog::CatalogStore& store, std::unique_ptr<avfaudio::LiveAudioSource> source,
           const StopSignals& signals) {
  const std::string shown_source = foundation::QuotedText(options.source);
  const avfaudio::LiveSourceOptions source_options = SourceOptions(options);
  const SteadyClock::time_point began = SteadyClock::now();
  const EventWriter writer(global, std::chrono::system_clock::now());
  std::unique_ptr<catalog::CatalogReader> reader = store.NewCatalogReader();
  SteadyClock::time_point read_at = began;
  double heard_until_s = 0;  // stream time of the last audio received
  // Ends are clamped to what was heard: a window cut by a loss is shorter.
  StretchTracker tracker(
      kWindowHopS, [&](const Stretch& s) { writer.Write("start", s, *reader); },
      [&](const Stretch& s) {
        Stretch ended = s;
        ended.end_s = std::max(ended.start_s, std::min(ended.end_s, heard_until_s));
        writer.Write("end", ended, *reader);
      });
  WindowFollower follower(
      *reader,
      [&](double window_start_s, std::vector<WindowMatch> matches) {
        tracker.AddWindow(window_start_s, matches);
      },
      [&](const WindowMatch& before, const WindowMatch& after) {
        tracker.AmendMatch(before, after);
      });

  int status = kExitSuccess;
  double connection_start_s = 0;  // stream time at which the current connection began
  for (;;) {
    const avfaudio::AVAudioFormat format = source->format();
    const auto capacity = static_cast<avfaudio::AVAudioFrameCount>(
        std::max(1.0, std::min(format.sampleRate() * kReadChunkS, 1e7)));
    std::unique_ptr<avfaudio::AVAudioPCMBuffer> buffer =
        avfaudio::AVAudioPCMBuffer::initWithPCMFormat(format, capacity);
    if (buffer == nullptr) throw std::bad_alloc();
    // The window still filling is previewed too, so that a recording is
    // named a second or two after enough of it is heard rather than when
    // the whole window that holds it is in.
    WindowedFingerprinter windows(
        format,
        [&](AudioWindow window) {
          if (SecondsSince(read_at) >= kCatalogRefreshS) {
            // Recordings added since are matched from the next window on.
            std::unique_ptr<catalog::CatalogReader> fresh = store.NewCatalogReader();
            follower.SetReader(*fresh);
            reader = std::move(fresh);
            read_at = SteadyClock::now();
          }
          window.start_s += connection_start_s;
          follower.Follow(std::move(window));
        },
        [&](AudioWindow partial) {
          partial.start_s += connection_start_s;
          follower.Preview(std::move(partial));
        });
    std::optional<std::string> lost;
    std::int64_t frames = 0;
    for (;;) {
      std::int64_t read = 0;
      try {
        read = source->Read(buffer->floatChannelData(), buffer->frameCapacity());
      } catch (const foundation::NSError& error) {
        lost = error.description();
        break;
      }
      if (read == 0) {
        if (options.source != "-") lost = "The source " + shown_source + " ended.";
        break;
      }
      buffer->setFrameLength(static_cast<avfaudio::AVAudioFrameCount>(read));
      frames += read;
      heard_until_s = connection_start_s + static_cast<double>(frames) / format.sampleRate();
      windows.Append(*buffer);
    }
    // What the source did as a stop signal came is no loss: listening ends.
    if (stop_requested.load()) lost.reset();
    source.reset();
    windows.Finish();
    follower.Finish();
    // Standard input can't be opened again.
    if (!lost || options.once || options.source == "-") {
      if (lost) {
        Say(*lost);
        status = kExitFailure;
      }
      break;
    }

    Say(*lost + " Reconnecting.");
    double backoff_s = kFirstBackoffS;
    for (int attempt = 1; !source; ++attempt) {
      if (signals.Wait(backoff_s)) break;
      try {
        source = avfaudio::OpenLiveAudioSource(options.source, source_options);
        Say("reconnected to " + shown_source + " (attempt " + std::to_string(attempt) + ")");
      } catch (const foundation::NSError& error) {
        if (stop_requested.load()) break;
        backoff_s = std::min(2 * backoff_s, kLongestBackoffS);
        Say("attempt " + std::to_string(attempt) + " to reconnect failed: " + error.description() +
            " Next in " + FormatNumber("%.0f", backoff_s) + " s.");
      }
    }
    if (!source) break;
    // The gap is part of the stream: times go on with the wall clock.
    connection_start_s = std::max(heard_until_s, SecondsSince(began));
    heard_until_s = connection_start_s;
  }
  tracker.Finish();
  if (stop_requested.load()) return stop_signal.load() == SIGINT ? kExitInterrupted : kExitSuccess;
  return status;
}

}  // namespace

int RunListenCommand(const GlobalOptions& global, const ListenCommandOptions& options) {
  shazamkit::CatalogRecognitionService service(global.catalog_directory);
  catalog::CatalogStore* store = nullptr;
  try {
    store = &service.OpenCatalog();
  } catch (const foundation::NSError& error) {
    Say(error.description());
    return kExitFailure;
  }
  std::optional<StopSignals> signals;
  try {
    signals.emplace();
  } catch (const std::system_error& error) {
    Say(std::string("listen could not start: ") + error.what() + ".");
    return kExitFailure;
  }
  const avfaudio::LiveSourceOptions source_options = SourceOptions(options);
  std::unique_ptr<avfaudio::LiveAudioSource> source;
  try {
    source = avfaudio::OpenLiveAudioSource(options.source, source_options);
  } catch (const foundation::NSError& error) {
    if (stop_requested.load()) return stop_signal.load() == SIGINT ? kExitInterrupted : 0;
    Say(error.description());
    return kExitFailure;
  }

  try {
    return Listen(global, options, *store, std::move(source), *signals);
  } catch (const foundation::NSError& error) {
    // The catalog failed; the source's errors are losses, handled within.
    Say(error.description());
    return kExitFailure;
  }
}

}  // namespace plim
