#include "cli/stream.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

#include "cli/cli.h"
#include "cli/json_writer.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"

namespace kelvra::cli {

namespace utf8 = kelvra::common::utf8;

// --- Output ---

Output& Output::standard() {
  static Output output(STDOUT_FILENO);
  return output;
}

namespace {

// Writes all of `vectors` to `fd`, going on after partial writes.
// Returns 0, or the error that stopped it.
int write_all(int fd, std::vector<iovec>& vectors) {
  std::size_t first = 0;
  while (first < vectors.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
    ssize_t n = ::writev(fd, vectors.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    auto left = static_cast<std::size_t>(n);
    while (first < vectors.size() && left >= vectors[first].iov_len) left -= vectors[first++].iov_len;
    if (left > 0) {
      vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
      vectors[first].iov_len -= left;
    }
  }
  return 0;
}

}  // namespace

void Output::flush() { write_blocks({}); }

void Output::write_blocks(std::span<const std::string_view> blocks) {
  std::vector<iovec> vectors;
  vectors.reserve(blocks.size() + 1);
  std::uint64_t total = buffer_.size();
  if (!buffer_.empty()) vectors.push_back(iovec{buffer_.data(), buffer_.size()});
  for (std::string_view block : blocks) {
    if (block.empty()) continue;
    vectors.push_back(iovec{const_cast<char*>(block.data()), block.size()});
    total += block.size();
  }
  const int error = write_all(fd_, vectors);
  buffer_.clear();  // never tried again: the message is said once
  if (error != 0) throw OutputError(std::string("cannot write the output: ") + std::strerror(error));
  written_ += total;
}

bool Output::truncate(std::uint64_t position) {
  if (position < written_) return false;
  buffer_.resize(static_cast<std::size_t>(position - written_));
  return true;
}

// --- InputFile ---

InputFile::InputFile(const std::string& path, std::string option) {
  const bool standard_input = path.empty() || path == "-";
  name_ = standard_input ? "stdin" : path;
  label_ = option.empty() ? name_ : option + " " + name_;
  if (standard_input) {
    fd_ = STDIN_FILENO;
    owned_ = false;
  } else {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw InputError(label_ + ": cannot open: " + std::strerror(errno));
    owned_ = true;
  }
  struct stat info {};
  if (::fstat(fd_, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      if (owned_) ::close(fd_);
      throw InputError(label_ + ": is a directory, not a file");
    }
    if (S_ISREG(info.st_mode)) {
      // Standard input may already have been read into by someone else.
      const off_t at = ::lseek(fd_, 0, SEEK_CUR);
      start_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
      const auto total = static_cast<std::uint64_t>(info.st_size);
      size_ = total > start_ ? total - start_ : 0;
    }
  }
}

InputFile::~InputFile() {
  if (owned_) ::close(fd_);
}

std::size_t InputFile::read(char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw InputError(label_ + ": cannot read: " + std::strerror(errno));
  }
}

std::size_t InputFile::read_at(char* data, std::size_t size, std::uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(start_ + offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw InputError(label_ + ": cannot read: " + std::strerror(errno));
  }
}

std::string InputFile::read_all() {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::string content;
  if (size_ > 0) {
    // A regular file: one allocation of its size (plus a byte to see the end).
    content.resize(static_cast<std::size_t>(size_) + 1);
    std::size_t used = 0;
    while (std::size_t n = read(content.data() + used, content.size() - used)) {
      used += n;
      if (used == content.size()) content.resize(content.size() + kBlock);  // it grew meanwhile
    }
    content.resize(used);
    return content;
  }
  // A pipe: blocks first, then one copy of the exact size, so that the
  // input is never held more than twice.
  std::vector<std::string> blocks;
  std::size_t total = 0;
  for (;;) {
    std::string block(kBlock, '\0');
    std::size_t used = 0;
    while (used < block.size()) {
      std::size_t n = read(block.data() + used, block.size() - used);
      if (n == 0) break;
      used += n;
    }
    block.resize(used);
    total += used;
    const bool last = used < kBlock;
    blocks.push_back(std::move(block));
    if (last) break;
  }
  content.reserve(total);
  for (auto& block : blocks) {
    content += block;
    std::string().swap(block);
  }
  return content;
}

// --- WholeInput ---

WholeInput::WholeInput(InputFile& input, ThreadPool* pool) {
  constexpr std::size_t kPart = std::size_t{4} << 20;
  const std::uint64_t size = input.size();
  if (pool == nullptr || size < 2 * kPart || size > SIZE_MAX / 2) {
    whole_ = input.read_all();
    return;
  }
  // Left unwritten until the threads read into it: zeroing it first would
  // be a pass over it on this thread.
  parts_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
  std::vector<std::future<void>> parts;
  std::atomic<bool> short_read{false};
  for (std::uint64_t begin = 0; begin < size; begin += kPart) {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kPart, size - begin));
    parts.push_back(pool->submit([&input, &short_read, data = parts_.get() + begin, begin, length] {
      std::size_t done = 0;
      while (done < length) {
        const std::size_t n = input.read_at(data + done, length - done, begin + done);
        if (n == 0) break;
        done += n;
      }
      if (done < length) short_read = true;
    }));
  }
  // Every part is waited for before a failure leaves: they write into parts_.
  std::exception_ptr failure;
  for (auto& part : parts) {
    try {
      part.get();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  size_ = static_cast<std::size_t>(size);
  char probe = 0;
  if (!short_read && input.read_at(&probe, 1, size) == 0) return;
  // The file changed size while it was read: read it again, whole, as it
  // now is.
  parts_.reset();
  size_ = 0;
  std::vector<char> block(kPart);
  for (std::uint64_t offset = 0;;) {
    const std::size_t n = input.read_at(block.data(), block.size(), offset);
    if (n == 0) break;
    whole_.append(block.data(), n);
    offset += n;
  }
}

// --- options ---

int default_jobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

int max_jobs() { return std::min(4 * default_jobs(), 1024); }

ProgressMode progress_mode(bool forced, bool quiet) {
  if (quiet) return ProgressMode::kOff;
  if (forced) return ProgressMode::kAlways;
  return ::isatty(STDERR_FILENO) != 0 ? ProgressMode::kTerminal : ProgressMode::kOff;
}

bool is_blank(std::string_view line) noexcept {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// --- Progress ---

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
    : what_(std::move(what)), total_(total), mode_(mode), enabled_(mode != ProgressMode::kOff),
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

// --- run_lines ---

namespace {

constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// A batch this large holds one long line: it is worked on alone, straight
// into the output, so that its output is never held whole.
constexpr std::size_t kAloneBytes = std::size_t{16} << 20;

// The bytes of a batch, kept from batch to batch: it grows without zeroing
// what is about to be read into it, and keeps its memory once grown.
class ReadBuffer {
 public:
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Room for `more` bytes after the end; added() then counts those read.
  char* room(std::size_t more) {
    if (more > capacity_ - size_) {
      const std::size_t capacity = std::max(size_ + more, 2 * capacity_);
      auto grown = std::make_unique_for_overwrite<char[]>(capacity);
      if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    return data_.get() + size_;
  }
  void added(std::size_t n) noexcept { size_ += n; }
  void assign(std::string_view bytes) {
    size_ = 0;
    if (!bytes.empty()) std::memcpy(room(bytes.size()), bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  void shrink_to(std::size_t size) noexcept { size_ = std::min(size, size_); }
  // Gives its memory back (after a huge line).
  void release() noexcept {
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct Batch {
  ReadBuffer text;  // whole lines; the input's last line may lack its line feed
  std::int64_t first_line = 1;
  std::uint64_t first_byte = 0;
};

// The line feeds in `text`, eight bytes at a time: this runs on the thread
// that reads, over every byte of the input. Each byte of `counts` counts
// the line feeds at its place in up to 255 words, then they are summed.
std::int64_t count_line_feeds(std::string_view text) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t kFeeds = kOnes * '\n', kEvenBytes = 0x00FF00FF00FF00FFULL;
  const char* p = text.data();
  std::size_t n = text.size();
  std::int64_t count = 0;
  while (n >= 8) {
    std::uint64_t counts = 0;
    for (int i = 0; i < 255 && n >= 8; ++i, p += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t x = word ^ kFeeds;  // line feeds become zero bytes
      // The top bit of a byte of this is set exactly for a zero byte of x.
      counts += (~(((x & kLow7) + kLow7) | x | kLow7)) >> 7;
    }
    const std::uint64_t pairs = (counts & kEvenBytes) + ((counts >> 8) & kEvenBytes);
    count += static_cast<std::int64_t>((pairs * 0x0001000100010001ULL) >> 48);
  }
  for (; n > 0; ++p, --n) count += *p == '\n';
  return count;
}

// Cuts the input into batches of whole lines of about `batch_bytes` each.
class LineBatcher {
 public:
  LineBatcher(InputFile& input, std::size_t batch_bytes) : input_(input), batch_bytes_(batch_bytes) {}

  bool next(Batch& batch) {
    ReadBuffer& text = batch.text;
    text.assign(carry_);
    carry_.clear();
    std::size_t cut = std::string::npos;  // the line feed that ends the batch
    std::size_t scanned = 0;              // bytes of `text` known to hold none
    for (;;) {
      if (text.size() >= batch_bytes_) {
        // Only the bytes read since the last look: a long line is read in
        // many blocks and must not be searched again each time.
        const std::string_view view = text.view();
        const void* found = ::memrchr(view.data() + scanned, '\n', view.size() - scanned);
        if (found != nullptr) {
          cut = static_cast<std::size_t>(static_cast<const char*>(found) - view.data());
          break;
        }
        scanned = view.size();
      }
      if (end_) break;
      // Straight into the batch: no copy, and no zeroing first.
      const std::size_t n = input_.read(text.room(batch_bytes_), batch_bytes_);
      text.added(n);
      if (n == 0) end_ = true;
    }
    if (cut == std::string::npos) {  // the end of the input: all that is left
      if (text.empty()) return false;
      cut = text.size() - 1;
    }
    if (cut + 1 < text.size()) {
      carry_.assign(text.view().substr(cut + 1));
      text.shrink_to(cut + 1);
    }
    const std::string_view view = text.view();
    batch.first_line = next_line_;
    batch.first_byte = next_byte_;
    next_line_ += count_line_feeds(view);
    if (view.back() != '\n') ++next_line_;
    next_byte_ += view.size();
    return true;
  }

 private:
  InputFile& input_;
  std::size_t batch_bytes_;
  std::string carry_;  // read past the last batch's end
  bool end_ = false;
  std::int64_t next_line_ = 1;
  std::uint64_t next_byte_ = 0;
};

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

struct BatchResult {
  std::string out;
  std::vector<BadLine> bad;
  bool stop = false;
};

// Works on the lines of one batch, writing into `out` (spilling into
// `spill` when given). Stops at the first bad line unless skip_bad.
void work_on(const Batch& batch, const std::string& source, const StreamOptions& options,
             const LineWork& work, std::string& out, Output* spill, BatchResult& result) {
  JsonWriter json(out, spill);
  const std::string_view text = batch.text.view();
  kelvra::common::text_input::Lines lines(text);
  for (std::string_view line; lines.next(line);) {
    const std::int64_t number = batch.first_line + lines.number() - 1;
    const std::uint64_t mark = spill ? spill->position() : out.size();
    try {
      if (std::size_t bad = utf8::find_invalid(line); bad != utf8::npos) {
        throw InputError(source + ":" + std::to_string(number) +
                         ": input is not valid UTF-8 (bad byte at offset " +
                         std::to_string(batch.first_byte + lines.begin() + bad) + ")");
      }
      work(line, number, json);
    } catch (const std::exception& e) {
      if (!is_bad_input(e)) throw;
      // The line's partial output goes; a record already handed to the
      // output cannot be taken back, so it is ended where it stopped.
      bool taken_back = true;
      if (spill != nullptr)
        taken_back = spill->truncate(mark);
      else
        out.resize(mark);
      if (!taken_back) out.push_back('\n');
      json.reset();
      std::string message = dynamic_cast<const InputError*>(&e) != nullptr
                                ? e.what()
                                : source + ":" + std::to_string(number) + ": " + failure_text(e);
      result.bad.push_back(BadLine{out.size(), std::move(message)});
      if (!options.skip_bad) {
        result.stop = true;
        return;
      }
    }
  }
}

}  // namespace

void run_lines(InputFile& input, const StreamOptions& options, std::string_view what,
               const LineWork& work) {
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
    if (result.bad.empty()) {
      const std::string_view block = result.out;
      output.write_blocks({&block, 1});
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
    output.flush();
    BatchResult result;
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
      result.out.clear();
      result.bad.clear();
      result.stop = false;
      work_on(batch, source, options, work, result.out, nullptr, result);
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
      deliver(slot.batch, slot.result);
      slot.result.out.clear();
      slot.result.bad.clear();
      slot.result.stop = false;
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
  output.flush();
  progress.finish(done);
  report_thread_times(what, thread_cpu_seconds() - cpu_at_start, worker_seconds, done);
  if (skipped > 0) {
    std::fprintf(stderr, "kelvra-nlp: skipped %lld bad line%s\n", static_cast<long long>(skipped),
                 skipped == 1 ? "" : "s");
  }
}

// --- ThreadPool ---

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    tasks_.clear();
  }
  ready_.notify_all();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
}

double ThreadPool::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = true;
  }
  ready_.notify_all();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  return static_cast<double>(cpu_nanoseconds_.load()) * 1e-9;
}

std::future<void> ThreadPool::submit(std::function<void()> task) {
  std::packaged_task<void()> packaged(std::move(task));
  auto future = packaged.get_future();
  bool start_one = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(packaged));
    start_one = tasks_.size() > idle_ && workers_.size() < static_cast<std::size_t>(threads_);
  }
  if (start_one) {
    try {
      workers_.emplace_back([this] { serve(); });
    } catch (const std::system_error& e) {
      // The system's limit on threads: go on with those running, if any.
      if (workers_.empty())
        throw std::runtime_error(std::string("cannot start a worker thread: ") + e.what());
      threads_ = static_cast<int>(workers_.size());
    }
  }
  ready_.notify_one();
  return future;
}

void ThreadPool::serve() {
  for (;;) {
    std::packaged_task<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      ready_.wait(lock, [this] { return stopping_ || draining_ || !tasks_.empty(); });
      --idle_;
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  cpu_nanoseconds_ += static_cast<std::int64_t>(thread_cpu_seconds() * 1e9);
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

double thread_cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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
