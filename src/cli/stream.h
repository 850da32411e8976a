// Corpus-scale input and output for the subcommands: standard output
// through one large buffer, input files read in blocks of whole lines,
// batches of lines worked on by several threads with their output written
// in input order, bad lines reported or skipped, and a progress line on
// standard error.
//
// The threads that work format their records into buffers of their own;
// the thread that reads the input only hands the finished buffers to the
// system in order, several at once and without copying them (vectored
// writes), so that it is not what limits many threads.
//
//   InputFile input(path);
//   StreamOptions options{.jobs = 2};
//   run_lines(input, options, "normalize",
//             [&](std::string_view line, std::int64_t number, JsonWriter& json) {
//               ... write this line's records ...
//             });
//
// Memory stays bounded whatever the size of the input: a few batches of
// about a megabyte each are in flight at once. A line longer than a batch
// is read whole (it cannot be cut), and a very long one is worked on alone,
// its output written as it is made.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kelvra::cli {

class JsonWriter;

// Standard output could not be written (a full disk, a closed pipe).
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Standard output, written in large blocks. Everything printed goes
// through here, so that a failed write is always noticed.
class Output {
 public:
  // The process's standard output.
  static Output& standard();
  // Another descriptor, left open (the benchmarks write to /dev/null).
  explicit Output(int fd) : fd_(fd) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // The bytes waiting to be written; append to it, then call
  // flush_if_large() (or let a JsonWriter with this spill do it).
  std::string& buffer() noexcept { return buffer_; }
  void flush_if_large() {
    if (buffer_.size() >= kFlushBytes) flush();
  }
  void write(std::string_view bytes) {
    buffer_.append(bytes);
    flush_if_large();
  }
  // Writes everything waiting. OutputError("cannot write the output: ...")
  // when the system refuses.
  void flush();
  // Writes everything waiting, then `blocks` in order, handing them to the
  // system as they are (vectored writes), without copying them into the
  // buffer. OutputError as flush().
  void write_blocks(std::span<const std::string_view> blocks);

  // Bytes printed so far, written or waiting.
  std::uint64_t position() const noexcept { return written_ + buffer_.size(); }
  // Drops what was printed after `position`; false when part of it has
  // already been written.
  bool truncate(std::uint64_t position);

 private:
  static constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
  int fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

// An input file, or standard input for "" and "-", read in blocks.
// `option` names the option that gave the path in messages ("--dict");
// empty for the FILE argument.
class InputFile {
 public:
  // InputError naming the path when it cannot be opened or is a directory.
  explicit InputFile(const std::string& path, std::string option = "");
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Up to `size` bytes into `data`; 0 at the end. InputError when the
  // system cannot read.
  std::size_t read(char* data, std::size_t size);
  // The same from byte `offset` of what is left of a regular file (see
  // size()), leaving the position where it is.
  std::size_t read_at(char* data, std::size_t size, std::uint64_t offset);
  // The whole rest of the input.
  std::string read_all();

  // "stdin", or the path, as messages name the input.
  const std::string& name() const noexcept { return name_; }
  // The size in bytes when known beforehand (a regular file: what is left
  // of it to read), else 0.
  std::uint64_t size() const noexcept { return size_; }

 private:
  int fd_;
  bool owned_;
  std::string name_;
  std::string label_;  // name_, with the option before it
  std::uint64_t size_ = 0;
  std::uint64_t start_ = 0;  // where a regular file's reading began
};

// When a progress line shows on standard error: never; on a terminal,
// once a run has lasted about a second; or always, from the start and with
// the final figures at the end (--progress).
enum class ProgressMode { kOff, kTerminal, kAlways };

// How a streamed run goes.
struct StreamOptions {
  int jobs = 1;           // threads that work on batches
  bool skip_bad = false;  // report bad lines and go on, rather than stop
  ProgressMode progress = ProgressMode::kOff;
};

// The number of threads --jobs means by default: the cores this process
// may run on.
int default_jobs();

// The most threads --jobs may ask for: more than a few per core only cost
// memory and start-up time. 4 times default_jobs(), at most 1024.
int max_jobs();

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

// Writes one line's output. Throwing a bad-input exception (InputError,
// TypeError, KeyError, KvException with INVALID_PARAMETERS, ...) makes the
// line bad: whatever it had written is dropped, and the run stops or skips
// it as StreamOptions says. Must be safe to call from several threads at
// once (it is, when it only reads shared immutable objects).
using LineWork = std::function<void(std::string_view line, std::int64_t number, JsonWriter& json)>;

// Calls `work` on every line of `input` (line feed, and a carriage return
// before it, removed; lines numbered from 1), each after checking it is
// UTF-8, and writes the output to Output::standard() in input order,
// identical for any number of jobs. A bad line stops the run with an
// InputError naming the source and line, after everything before it was
// written; with skip_bad it is reported on standard error and the run goes
// on, the last line of standard error then saying how many were skipped.
void run_lines(InputFile& input, const StreamOptions& options, std::string_view what,
               const LineWork& work);

// True for a line whose content is only blanks and tabs (skipped by
// subcommands that read one JSON record a line).
bool is_blank(std::string_view line) noexcept;

// --- threads ---

// A few threads that run tasks in the order they were given. A thread is
// started only when a task finds none idle, so that a short input never
// starts more threads than it has work for.
class ThreadPool {
 public:
  explicit ThreadPool(int threads) : threads_(threads) {}
  // Tasks not started are dropped; running ones are waited for.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // A task's failure comes out of its future. Fails only when no thread at
  // all can be started.
  std::future<void> submit(std::function<void()> task);

  // Waits for the tasks given so far, ends the threads and returns the CPU
  // time they used, in seconds.
  double finish();

 private:
  void serve();
  void stop();

  int threads_;
  std::vector<std::thread> workers_;  // only the submitting thread touches it
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<void()>> tasks_;
  std::size_t idle_ = 0;  // workers waiting for a task
  bool stopping_ = false;
  bool draining_ = false;  // finish(): run what is queued, then end
  std::atomic<std::int64_t> cpu_nanoseconds_{0};
};

// The whole of an input in memory, for the subcommands that take it as one
// text. A regular file is read by the pool's threads, each its own part, so
// that the reading (and the mapping of the fresh memory) is not left to one
// thread; standard input, a pipe, or a run without a pool is read by the
// calling thread.
class WholeInput {
 public:
  WholeInput(InputFile& input, ThreadPool* pool);
  WholeInput(const WholeInput&) = delete;
  WholeInput& operator=(const WholeInput&) = delete;

  std::string_view text() const noexcept {
    return parts_ ? std::string_view(parts_.get(), size_) : std::string_view(whole_);
  }

 private:
  std::unique_ptr<char[]> parts_;  // read in parts
  std::size_t size_ = 0;
  std::string whole_;              // read in one go
};

// Tasks on a pool whose outputs are written to `output` in the order the
// tasks were given, whatever order they finish in. At most `in_flight`
// outputs are held: submit() first writes what is finished at the front,
// waiting for the oldest task when it must.
class OrderedOutput {
 public:
  // Fills `out` (an empty buffer) with the task's output.
  using Task = std::function<void(std::string& out)>;

  OrderedOutput(ThreadPool& pool, Output& output, std::size_t in_flight)
      : pool_(pool), output_(output), in_flight_(in_flight) {}
  // Waits for the tasks still running, writing nothing more.
  ~OrderedOutput();
  OrderedOutput(const OrderedOutput&) = delete;
  OrderedOutput& operator=(const OrderedOutput&) = delete;

  void submit(Task task);
  // Writes every output, in order; a task's failure is thrown here, after
  // the outputs before it were written.
  void finish();
  // Bytes written by the tasks so far.
  std::uint64_t bytes_written() const noexcept { return bytes_written_; }

 private:
  struct Slot {
    std::string out;
    std::future<void> done;
  };
  // Writes the finished outputs at the front; with `wait`, at least one.
  void write_front(bool wait);

  ThreadPool& pool_;
  Output& output_;
  std::size_t in_flight_;
  std::deque<std::unique_ptr<Slot>> slots_;
  std::vector<std::unique_ptr<Slot>> spare_;  // written slots, buffers kept
  std::uint64_t bytes_written_ = 0;
};

// The CPU time the calling thread has used so far, in seconds.
double thread_cpu_seconds();

// How the time of a streamed run divides between the thread that reads the
// input and writes the output (work that does not grow with --jobs) and the
// threads that work; written on standard error when the environment sets
// KELVRA_NLP_THREAD_TIMES (bench/ predicts the scaling on many cores from
// it): "kelvra-nlp: thread times: WHAT: reader and writer S s, workers W s
// (CPU), B bytes in, serial fraction F".
void report_thread_times(std::string_view what, double serial_seconds, double worker_seconds,
                         std::uint64_t bytes_in);

}  // namespace kelvra::cli
