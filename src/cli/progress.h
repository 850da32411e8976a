// A progress line on standard error: how much of the work is done, its
// rate and the time left, redrawn a few times a second. Every long run of
// kelvra-nlp shows its progress through this one display.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvra::cli {

// When a progress line shows on standard error: never; on a terminal,
// once a run has lasted about a second; or always, from the start and with
// the final figures at the end (--progress).
enum class ProgressMode { kOff, kTerminal, kAlways };

// The progress mode of the options: --quiet silences it, --progress forces
// it, and otherwise it shows when standard error is a terminal.
ProgressMode progress_mode(bool forced, bool quiet);

// A progress line on standard error: done of total (when known), rate and
// time left, refreshed a few times a second. Never written to standard
// output.
class Progress {
 public:
  // `what`: the subcommand; `total`: bytes, or 0 when unknown.
  Progress(std::string what, std::uint64_t total, ProgressMode mode);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap to call often: looks at the clock only every few hundred kilobytes.
  void update(std::uint64_t done) {
    if (enabled_ && done >= next_check_) refresh(done, false);
  }
  // The final figures, and a line feed after them, if anything was shown.
  void finish(std::uint64_t done);

  // Ends a progress line that is on the screen, so that a message can be
  // written on a line of its own. Safe to call when none is shown.
  static void interrupt();

 private:
  void refresh(std::uint64_t done, bool final);

  std::string what_;
  std::uint64_t total_;
  ProgressMode mode_;
  bool enabled_;
  std::uint64_t next_check_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_shown_{};
  bool shown_ = false;
};

}  // namespace kelvra::cli
