#include "tools/plim-catalog/progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/duration_text.h"

namespace plim {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

}  // namespace

ProgressDisplay::ProgressDisplay(bool enabled, std::uint64_t total_files, std::uint64_t total_bytes)
    : enabled_(enabled),
      total_files_(total_files),
      total_bytes_(total_bytes),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  if (enabled_) Draw();
}

double ProgressDisplay::ElapsedS() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressDisplay::FileDone(std::uint64_t bytes, double audio_s) {
  ++done_files_;
  done_bytes_ += bytes;
  audio_s_ += audio_s;
  auto now = std::chrono::steady_clock::now();
  if (enabled_ && (now - last_draw_ >= kRedrawInterval || done_files_ == total_files_)) Draw();
}

void ProgressDisplay::Report(std::string_view message) {
  std::string text;
  if (enabled_ && drawn_) text = "\r\x1b[K";
  text.append(message);
  text.push_back('\n');
  foundation::writeToStandardError(text);
  drawn_ = false;
  if (enabled_) Draw();
}

void ProgressDisplay::Clear() {
  if (enabled_ && drawn_) foundation::writeToStandardError("\r\x1b[K");
  drawn_ = false;
}

void ProgressDisplay::Draw() {
  last_draw_ = std::chrono::steady_clock::now();
  std::string text = "\r";
  text += Line();
  text += "\x1b[K";
  foundation::writeToStandardError(text);
  drawn_ = true;
}

std::string ProgressDisplay::Line() const {
  // Progress by bytes: files differ too much in length for a count to say
  // how far along the work is.
  double fraction =
      total_bytes_ > 0
          ? static_cast<double>(done_bytes_) / static_cast<double>(total_bytes_)
          : (total_files_ > 0 ? static_cast<double>(done_files_) / static_cast<double>(total_files_)
                              : 1.0);
  fraction = std::clamp(fraction, 0.0, 1.0);
  int filled = static_cast<int>(std::lround(fraction * kBarWidth));
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  line += "] ";
  char text[160];
  double elapsed_s = ElapsedS();
  std::snprintf(text, sizeof text, "%llu/%llu files, %.2f h of audio",
                static_cast<unsigned long long>(done_files_),
                static_cast<unsigned long long>(total_files_), audio_s_ / 3600);
  line += text;
  if (elapsed_s > 0.5 && audio_s_ > 0) {
    std::snprintf(text, sizeof text, ", %.0f\xC3\x97 real time", audio_s_ / elapsed_s);
    line += text;
  }
  if (elapsed_s > 2 && fraction > 0.01 && fraction < 1) {
    line += ", " + FormatDuration(elapsed_s * (1 - fraction) / fraction) + " left";
  }
  return line;
}

}  // namespace plim
