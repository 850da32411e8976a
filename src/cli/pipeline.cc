#include "cli/pipeline.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "kelvra/common/json_writer.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"

namespace kelvra::cli {

namespace utf8 = kelvra::common::utf8;

bool is_blank(std::string_view line) noexcept {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// --- run_lines ---

namespace {

constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// A batch this large holds one long line: it is worked on alone, straight
// into the output, so that its output is never held whole.
constexpr std::size_t kAloneBytes = std::size_t{16} << 20;
// The most output a worker holds for one batch. A batch whose output
// outgrows it (a short line with a huge result: millions of occurrences)
// is worked on again alone, its output written as it is made, so that no
// record's output is ever held whole.
constexpr std::size_t kWorkerOutputBytes = std::size_t{32} << 20;

// A slot written before, its buffers with their memory, or a new one.
template <class Slot>
std::unique_ptr<Slot> take_spare(std::vector<std::unique_ptr<Slot>>& spare) {
  if (spare.empty()) return std::make_unique<Slot>();
  std::unique_ptr<Slot> slot = std::move(spare.back());
  spare.pop_back();
  return slot;
}

struct BadLine {
  std::size_t at;  // bytes of the batch's output written before the line
  std::string message;
};

// A line of a grouped run that joined a group or was bad (a blank line is
// neither and is not kept).
struct GroupedLine {
  std::size_t out_end;  // where its part ends in the batch's output
  std::size_t key_end;  // where its key ends in the batch's keys
  bool joined;
  bool bad;
};

struct BatchResult {
  std::string out;
  std::vector<BadLine> bad;
  bool stop = false;
  bool overflow = false;  // the output outgrew kWorkerOutputBytes: work on it alone
  // Grouped runs only: the lines in order, their keys one after another.
  std::vector<GroupedLine> lines;
  std::string keys;

  void add_line(const LineGroup& group, bool bad_line) {
    if (group.joined) keys.append(group.key);
    lines.push_back(GroupedLine{out.size(), keys.size(), group.joined, bad_line});
  }
  void clear() {
    out.clear();
    bad.clear();
    stop = overflow = false;
    lines.clear();
    keys.clear();
  }
};

// The work of a run: one of the two.
struct LineWorks {
  const LineWork* plain = nullptr;
  const GroupedLineWork* grouped = nullptr;
};

// The writing thread's side of a grouped run: the group open and whether a
// part of it was written, so that a group goes on across batches.
class GroupWriter {
 public:
  GroupWriter(const Grouping& grouping, Output& output) : grouping_(grouping), output_(output) {}

  void add(std::string_view key, std::string_view part) {
    std::string& out = output_.buffer();
    if (!open_ || key != key_) {
      end();
      grouping_.head(key, out);
      key_.assign(key);
      open_ = true;
      has_part_ = false;
    }
    if (!part.empty()) {
      if (has_part_) out.append(grouping_.separator);
      out.append(part);
      has_part_ = true;
    }
    output_.flush_if_large();
  }
  void end() {
    if (!open_) return;
    output_.buffer().append(grouping_.tail);
    open_ = false;
    output_.flush_if_large();
  }

 private:
  const Grouping& grouping_;
  Output& output_;
  bool open_ = false;
  bool has_part_ = false;
  std::string key_;
};

// Works on the lines of one batch, writing into `out` (spilling into
// `spill` when given). Stops at the first bad line unless skip_bad.
// (A grouped run never spills and sets no limit: each line's part is kept
// apart until the writer joins it to its group.)
void work_on(const Batch& batch, const std::string& source, const StreamOptions& options,
             const LineWorks& works, std::string& out, Output* spill, BatchResult& result) {
  JsonWriter json(out, spill);
  if (spill == nullptr && works.grouped == nullptr) json.limit(kWorkerOutputBytes);
  LineGroup group;
  const std::string_view text = batch.text.view();
  kelvra::common::text_input::Lines lines(text);
  for (std::string_view line; lines.next(line);) {
    const std::int64_t number = batch.first_line + lines.number() - 1;
    const std::uint64_t mark = spill ? spill->position() : out.size();
    group.key.clear();
    group.joined = false;
    try {
      if (std::size_t bad = utf8::find_invalid(line); bad != utf8::npos) {
        throw InputError(source + ":" + std::to_string(number) +
                         ": input is not valid UTF-8 (bad byte at offset " +
                         std::to_string(batch.first_byte + lines.begin() + bad) + ")");
      }
      if (works.grouped != nullptr) {
        json.reset();  // each part starts a list of its own
        (*works.grouped)(line, number, json, group);
        if (group.joined)
          result.add_line(group, false);
        else
          out.resize(mark);  // a line in no group has no part
      } else {
        (*works.plain)(line, number, json);
      }
    } catch (const OutputOverflow&) {
      result.overflow = true;
      return;
    } catch (const std::exception& e) {
      // Running out of memory on one line is that line's failure, reported
      // with its place and skipped under --skip-bad like a bad line; the
      // memory its work took is given back as the failure unwinds.
      const bool out_of_memory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
      if (!out_of_memory && !is_bad_input(e)) throw;
      // The line's partial output goes; a record already handed to the
      // output cannot be taken back, so it is ended where it stopped.
      bool taken_back = true;
      if (spill != nullptr)
        taken_back = spill->truncate(mark);
      else
        out.resize(mark);
      if (!taken_back) out.push_back('\n');
      json.reset();
      std::string message = out_of_memory ? source + ":" + std::to_string(number) +
                                                ": out of memory working on this line (" +
                                                std::to_string(line.size()) + " bytes)"
                            : dynamic_cast<const InputError*>(&e) != nullptr
                                ? e.what()
                                : source + ":" + std::to_string(number) + ": " + failure_text(e);
      result.bad.push_back(BadLine{out.size(), std::move(message)});
      if (works.grouped != nullptr) result.add_line(group, true);
      if (!options.skip_bad) {
        result.stop = true;
        return;
      }
    }
  }
}

// run_lines and run_grouped_lines: `groups` is given with works.grouped.
void run_batches(InputFile& input, const StreamOptions& options, std::string_view what,
                 const LineWorks& work, GroupWriter* groups) {
  const double cpu_at_start = thread_cpu_seconds();
  Output& output = Output::standard();
  Progress progress(std::string(what), input.size(), options.progress);
  LineBatcher batches(input, kBatchBytes);
  const std::string& source = input.name();
  std::int64_t skipped = 0;
  std::uint64_t done = 0;

  auto report = [&](const BadLine& bad) {
    if (!options.skip_bad) {
      output.flush();
      throw InputError(bad.message);
    }
    ++skipped;
    Progress::interrupt();
    std::fprintf(stderr, "kelvra-nlp: %s (skipped)\n", bad.message.c_str());
  };
  auto deliver = [&](const Batch& batch, BatchResult& result) {
    if (groups != nullptr) {
      const std::string_view out = result.out, keys = result.keys;
      std::size_t out_from = 0, key_from = 0, bad_at = 0;
      for (const GroupedLine& line : result.lines) {
        if (line.bad) {
          if (!options.skip_bad) groups->end();  // the run stops: the open group ends here
          report(result.bad[bad_at++]);
        }
        if (line.joined)
          groups->add(keys.substr(key_from, line.key_end - key_from),
                      out.substr(out_from, line.out_end - out_from));
        out_from = line.out_end;
        key_from = line.key_end;
      }
    } else if (result.bad.empty()) {
      // Written by the output's own thread while the next batches are read
      // and worked on: a slow reader of a pipe does not stop the run.
      output.write_owned(std::move(result.out));
      result.out = output.spare_block();
    } else {
      std::size_t from = 0;
      for (const BadLine& bad : result.bad) {
        output.write(std::string_view(result.out).substr(from, bad.at - from));
        from = bad.at;
        report(bad);
      }
      output.write(std::string_view(result.out).substr(from));
    }
    done = batch.first_byte + batch.text.size();
    progress.update(done);
  };
  // A batch of one very long line, after everything before it is written.
  auto work_alone = [&](const Batch& batch) {
    BatchResult result;
    if (groups != nullptr) {  // its parts are held, as any batch's
      work_on(batch, source, options, work, result.out, nullptr, result);
      deliver(batch, result);
      return;
    }
    output.flush();
    work_on(batch, source, options, work, output.buffer(), &output, result);
    for (const BadLine& bad : result.bad) report(bad);
    done = batch.first_byte + batch.text.size();
    progress.update(done);
  };

  double worker_seconds = 0;
  if (options.jobs <= 1) {
    Batch batch;
    BatchResult result;
    while (batches.next(batch)) {
      if (batch.text.size() >= kAloneBytes) {
        work_alone(batch);
        continue;
      }
      result.clear();
      work_on(batch, source, options, work, result.out, nullptr, result);
      if (result.overflow)
        work_alone(batch);
      else
        deliver(batch, result);
    }
  } else {
    struct Slot {
      Batch batch;
      BatchResult result;
      std::future<void> finished;
    };
    // Declared before the pool, so that the pool (waiting for its running
    // tasks) is gone before the slots they write into. Written slots are
    // used again, so that their buffers keep their memory: no thread pays
    // again for fresh pages batch after batch.
    std::deque<std::unique_ptr<Slot>> in_flight;
    std::vector<std::unique_ptr<Slot>> spare;
    ThreadPool pool(options.jobs);
    const std::size_t max_in_flight = 2 * static_cast<std::size_t>(options.jobs);
    auto deliver_front = [&] {
      Slot& slot = *in_flight.front();
      slot.finished.get();  // a worker's failure comes out here, in input order
      if (slot.result.overflow)
        work_alone(slot.batch);
      else
        deliver(slot.batch, slot.result);
      slot.result.clear();
      spare.push_back(std::move(in_flight.front()));
      in_flight.pop_front();
    };
    bool more = true;
    while (more || !in_flight.empty()) {
      while (more && in_flight.size() < max_in_flight) {
        std::unique_ptr<Slot> slot = take_spare(spare);
        if (!batches.next(slot->batch)) {
          more = false;
          break;
        }
        if (slot->batch.text.size() >= kAloneBytes) {
          while (!in_flight.empty()) deliver_front();
          work_alone(slot->batch);
          slot->batch.text.release();  // not kept: it may be huge
          continue;
        }
        Slot* s = slot.get();
        s->finished = pool.submit([&, s] {
          work_on(s->batch, source, options, work, s->result.out, nullptr, s->result);
        });
        in_flight.push_back(std::move(slot));
      }
      if (!in_flight.empty()) deliver_front();
    }
    worker_seconds = pool.finish();
  }
  if (groups != nullptr) groups->end();
  output.flush();
  progress.finish(done);
  report_thread_times(what, thread_cpu_seconds() - cpu_at_start, worker_seconds, done);
  if (skipped > 0) {
    std::fprintf(stderr, "kelvra-nlp: skipped %lld bad line%s\n", static_cast<long long>(skipped),
                 skipped == 1 ? "" : "s");
  }
}

}  // namespace

void run_lines(InputFile& input, const StreamOptions& options, std::string_view what,
               const LineWork& work) {
  run_batches(input, options, what, LineWorks{.plain = &work}, nullptr);
}

void run_grouped_lines(InputFile& input, const StreamOptions& options, std::string_view what,
                       const Grouping& grouping, const GroupedLineWork& work) {
  GroupWriter groups(grouping, Output::standard());
  run_batches(input, options, what, LineWorks{.grouped = &work}, &groups);
}

// --- OrderedOutput ---

OrderedOutput::~OrderedOutput() {
  for (auto& slot : slots_)
    if (slot->done.valid()) slot->done.wait();
}

void OrderedOutput::submit(Task task) {
  while (slots_.size() >= in_flight_) write_front(true);
  write_front(false);
  std::unique_ptr<Slot> slot = take_spare(spare_);
  Slot* s = slot.get();
  s->done = pool_.submit([s, task = std::move(task)] { task(s->out); });
  slots_.push_back(std::move(slot));
}

void OrderedOutput::finish() {
  while (!slots_.empty()) write_front(true);
}

void OrderedOutput::write_front(bool wait) {
  // The finished outputs at the front go to the system in one call; a
  // failed task's failure comes out after the outputs before it.
  std::vector<std::string_view> blocks;
  std::exception_ptr failure;
  for (auto& slot : slots_) {
    if (!(wait && blocks.empty()) &&
        slot->done.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
      break;
    try {
      slot->done.get();
    } catch (...) {
      failure = std::current_exception();
      break;
    }
    blocks.emplace_back(slot->out);
  }
  if (!blocks.empty()) output_.write_blocks(blocks);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    bytes_written_ += slots_.front()->out.size();
    slots_.front()->out.clear();
    spare_.push_back(std::move(slots_.front()));
    slots_.pop_front();
  }
  if (failure) std::rethrow_exception(failure);
}

// --- thread times ---

void report_thread_times(std::string_view what, double serial_seconds, double worker_seconds,
                         std::uint64_t bytes_in) {
  if (std::getenv("KELVRA_NLP_THREAD_TIMES") == nullptr) return;
  const double total = serial_seconds + worker_seconds;
  std::fprintf(stderr,
               "kelvra-nlp: thread times: %.*s: reader and writer %.3f s, workers %.3f s (CPU), "
               "%llu bytes in, serial fraction %.4f\n",
               static_cast<int>(what.size()), what.data(), serial_seconds, worker_seconds,
               static_cast<unsigned long long>(bytes_in), total > 0 ? serial_seconds / total : 0.0);
}

}  // namespace kelvra::cli
