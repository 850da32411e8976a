// Corpus-scale work for the subcommands: batches of lines worked on by
// several threads with their output written in input order, bad lines
// reported or skipped, and a progress line on standard error; and tasks of
// any kind whose outputs are written in the order they were given.
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

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/errors.h"
#include "cli/input.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "cli/thread_pool.h"

namespace kelvra::cli {

// How a streamed run goes.
struct StreamOptions {
  int jobs = 1;           // threads that work on batches
  bool skip_bad = false;  // report bad lines and go on, rather than stop
  ProgressMode progress = ProgressMode::kOff;
};

// Writes one line's output. Throwing a bad-input exception (InputError,
// TypeError, KeyError, KvException with INVALID_PARAMETERS, ...), or
// running out of memory (std::bad_alloc), makes the line bad: whatever it
// had written is dropped, and the run stops or skips it as StreamOptions
// says. Must be safe to call from several threads at
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

// The group a line's output joins (run_grouped_lines), said by the line's
// work: the lines of one group are consecutive lines with the same key.
struct LineGroup {
  std::string key;      // compared byte for byte with the key of the line before
  bool joined = false;  // the line belongs to the group `key` names
};

// How the writer joins the outputs of the lines of one group: head(key)
// once, the lines' outputs that are not empty separated by `separator`,
// then `tail` once the group ends.
struct Grouping {
  std::function<void(std::string_view key, std::string& out)> head;
  std::string_view separator;
  std::string_view tail;
};

// Writes one line's part of its group and says the group in `group` (key
// empty and not joined on call). A line that joins no group (a blank one)
// writes nothing. A bad line (as for LineWork) that joined its group
// before it failed stays in it with no part, so that its group is written
// even when it was its only line; one that did not (unreadable) joins
// none, and the lines around it join when their keys are equal.
using GroupedLineWork = std::function<void(std::string_view line, std::int64_t number,
                                           JsonWriter& json, LineGroup& group)>;

// run_lines whose output is one group per run of consecutive lines with the
// same key, joined by `grouping` on the writing thread in input order, so
// that a group may span batches and threads and the output stays identical
// for any number of jobs. A line's part is held whole until it is written
// (it should be of the order of the line), a group never: its head and
// parts are written as they come. A bad line that stops the run ends the
// group open then, after the parts of the lines before it.
void run_grouped_lines(InputFile& input, const StreamOptions& options, std::string_view what,
                       const Grouping& grouping, const GroupedLineWork& work);

// True for a line whose content is only blanks and tabs (skipped by
// subcommands that read one JSON record a line).
bool is_blank(std::string_view line) noexcept;

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

// How the time of a streamed run divides between the thread that reads the
// input and writes the output (work that does not grow with --jobs) and the
// threads that work; written on standard error when the environment sets
// KELVRA_NLP_THREAD_TIMES (bench/ predicts the scaling on many cores from
// it): "kelvra-nlp: thread times: WHAT: reader and writer S s, workers W s
// (CPU), B bytes in, serial fraction F".
void report_thread_times(std::string_view what, double serial_seconds, double worker_seconds,
                         std::uint64_t bytes_in);

}  // namespace kelvra::cli
