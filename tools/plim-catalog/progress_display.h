// The one-line progress bar `plim-catalog add` keeps on a terminal.

#ifndef PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_
#define PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace plim {

// Writes to standard error. When disabled (standard error is not a
// terminal) only Report's messages appear. The line is cut to the
// terminal's width at each redraw, so that it never wraps. Not thread-safe
// but for SetCurrentFile: one thread reports progress and problems.
class ProgressDisplay {
 public:
  ProgressDisplay(bool enabled, std::uint64_t total_files, std::uint64_t total_bytes);

  // Records one more file done: `bytes` of file, `audio_s` of audio in it.
  // Redraws the bar at most ten times a second.
  void FileDone(std::uint64_t bytes, double audio_s);

  // Names the file being read, shown at the end of the line. Thread-safe.
  void SetCurrentFile(std::string_view path);

  // Prints `message` on a line of its own above the bar.
  void Report(std::string_view message);

  // Removes the bar, leaving the terminal as it was.
  void Clear();

  double ElapsedS() const;
  double AudioS() const { return audio_s_; }

 private:
  void Draw();
  double Fraction() const;
  std::string Status() const;
  std::string CurrentFile();

  const bool enabled_;
  const std::uint64_t total_files_;
  const std::uint64_t total_bytes_;
  std::uint64_t done_files_ = 0;
  std::uint64_t done_bytes_ = 0;
  double audio_s_ = 0;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
  std::mutex current_mutex_;
  std::string current_file_;  // guarded by current_mutex_
};

// The progress line from its parts: the bar, the status (counts, speed,
// time left) and the name of the file being read (may be empty), in at
// most `columns` characters. When all do not fit the bar goes first, then
// the end of the rest is cut (FitToColumns). Pure.
std::string ComposeProgressLine(std::string_view bar, std::string_view status,
                                std::string_view file, std::size_t columns);

// `line` cut to at most `columns` characters on screen, counting each UTF-8
// character as one column, with "…" at the end when cut.
std::string FitToColumns(std::string_view line, std::size_t columns);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_
