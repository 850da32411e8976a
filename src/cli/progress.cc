#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace kelvra::cli {

ProgressMode progress_mode(bool forced, bool quiet) {
  if (quiet) return ProgressMode::kOff;
  if (forced) return ProgressMode::kAlways;
  return ::isatty(STDERR_FILENO) != 0 ? ProgressMode::kTerminal : ProgressMode::kOff;
}

namespace {

Progress* shown_progress = nullptr;  // the one whose line is on the screen

std::string human_bytes(double bytes) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  int unit = 0;
  while (bytes >= 1000 && unit < 4) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string clock_time(double seconds) {
  auto s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

}  // namespace

Progress::Progress(std::string what, std::uint64_t total, ProgressMode mode)
    : what_(std::move(what)),
      total_(total),
      mode_(mode),
      enabled_(mode != ProgressMode::kOff),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
  if (shown_progress == this) interrupt();
}

void Progress::refresh(std::uint64_t done, bool final) {
  using namespace std::chrono;
  constexpr std::uint64_t kCheckEvery = std::uint64_t{256} << 10;
  next_check_ = done + kCheckEvery;
  const auto now = steady_clock::now();
  const double elapsed = duration<double>(now - start_).count();
  // On a terminal a short run shows nothing; forced, every run shows its
  // final figures.
  const bool waited = mode_ == ProgressMode::kAlways || elapsed >= 1.0;
  if (final ? !(shown_ || mode_ == ProgressMode::kAlways)
            : (!waited || now - last_shown_ < milliseconds(250)))
    return;

  const double rate = elapsed > 0 ? done / elapsed : 0;
  std::string line = what_ + ": " + human_bytes(static_cast<double>(done));
  if (total_ > 0) {
    char percent[16];
    std::snprintf(percent, sizeof percent, " (%d%%)",
                  static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_));
    line += " of " + human_bytes(static_cast<double>(total_)) + percent;
  }
  line += ", " + human_bytes(rate) + "/s";
  if (final) {
    line += ", " + clock_time(elapsed);
  } else if (total_ > done && rate > 0) {
    line += ", " + clock_time((total_ - done) / rate) + " left";
  }
  // Blanks after the text wipe what a longer earlier line left.
  std::fprintf(stderr, "\r%-70s", line.c_str());
  if (final) std::fputc('\n', stderr);
  std::fflush(stderr);
  shown_ = !final;
  shown_progress = final ? nullptr : this;
  last_shown_ = now;
}

void Progress::finish(std::uint64_t done) {
  if (enabled_) refresh(done, true);
}

void Progress::interrupt() {
  if (shown_progress == nullptr) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  shown_progress->shown_ = false;
  shown_progress = nullptr;
}

}  // namespace kelvra::cli
