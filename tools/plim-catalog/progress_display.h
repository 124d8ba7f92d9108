// The one-line progress bar `plim-catalog add` keeps on a terminal.

#ifndef PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_
#define PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace plim {

// Writes to standard error. When disabled (standard error is not a
// terminal) only Report's messages appear. Not thread-safe: one thread
// reports progress and problems.
class ProgressDisplay {
 public:
  ProgressDisplay(bool enabled, std::uint64_t total_files, std::uint64_t total_bytes);

  // Records one more file done: `bytes` of file, `audio_s` of audio in it.
  // Redraws the bar at most ten times a second.
  void FileDone(std::uint64_t bytes, double audio_s);

  // Prints `message` on a line of its own above the bar.
  void Report(std::string_view message);

  // Removes the bar, leaving the terminal as it was.
  void Clear();

  double ElapsedS() const;
  double AudioS() const { return audio_s_; }

 private:
  void Draw();
  std::string Line() const;

  const bool enabled_;
  const std::uint64_t total_files_;
  const std::uint64_t total_bytes_;
  std::uint64_t done_files_ = 0;
  std::uint64_t done_bytes_ = 0;
  double audio_s_ = 0;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_PROGRESS_DISPLAY_H_
