#include "tools/plim-catalog/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/duration_text.h"

namespace plim {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;
// When the terminal does not say.
constexpr std::size_t kDefaultColumns = 80;

std::size_t TerminalColumns() {
  struct winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

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

void ProgressDisplay::SetCurrentFile(std::string_view path) {
  std::lock_guard hold(current_mutex_);
  current_file_ = path;
}

std::string ProgressDisplay::CurrentFile() {
  std::lock_guard hold(current_mutex_);
  return current_file_;
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
  const int filled = static_cast<int>(std::lround(Fraction() * kBarWidth));
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  bar += "]";
  const std::string file = CurrentFile();
  // One column spare: a line filling the last one wraps on some terminals.
  std::string text = "\r";
  text += ComposeProgressLine(
      bar, Status(), foundation::ShownText(std::string_view(file).substr(file.rfind('/') + 1)),
      TerminalColumns() - 1);
  text += "\x1b[K";
  foundation::writeToStandardError(text);
  drawn_ = true;
}

double ProgressDisplay::Fraction() const {
  // Progress by bytes: files differ too much in length for a count to say
  // how far along the work is.
  double fraction =
      total_bytes_ > 0
          ? static_cast<double>(done_bytes_) / static_cast<double>(total_bytes_)
          : (total_files_ > 0 ? static_cast<double>(done_files_) / static_cast<double>(total_files_)
                              : 1.0);
  return std::clamp(fraction, 0.0, 1.0);
}

std::string ProgressDisplay::Status() const {
  const double fraction = Fraction();
  char text[160];
  double elapsed_s = ElapsedS();
  std::snprintf(text, sizeof text, "%llu/%llu files, %.2f h of audio",
                static_cast<unsigned long long>(done_files_),
                static_cast<unsigned long long>(total_files_), audio_s_ / 3600);
  std::string line = text;
  if (elapsed_s > 0.5 && audio_s_ > 0) {
    std::snprintf(text, sizeof text, ", %.0f\xC3\x97 real time", audio_s_ / elapsed_s);
    line += text;
  }
  if (elapsed_s > 2 && fraction > 0.01 && fraction < 1) {
    line += ", " + FormatDuration(elapsed_s * (1 - fraction) / fraction) + " left";
  }
  return line;
}

std::string ComposeProgressLine(std::string_view bar, std::string_view status,
                                std::string_view file, std::size_t columns) {
  std::string rest(status);
  if (!file.empty()) {
    rest += " \xC2\xB7 ";
    rest += file;
  }
  // The bar says least: the counts, the time left and the file say more.
  std::string whole = std::string(bar) + " " + rest;
  if (FitToColumns(whole, columns) == whole) return whole;
  return FitToColumns(rest, columns);
}

std::string FitToColumns(std::string_view line, std::size_t columns) {
  std::size_t shown = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!IsContinuationByte(line[i])) ++shown;
  }
  if (shown <= columns) return std::string(line);
  if (columns == 0) return "";
  // Keep columns - 1 characters, then the ellipsis.
  std::size_t kept = 0, end = 0;
  for (; end < line.size(); ++end) {
    if (!IsContinuationByte(line[end]) && kept++ == columns - 1) break;
  }
  return std::string(line.substr(0, end)) + "\xE2\x80\xA6";
}

}  // namespace plim
