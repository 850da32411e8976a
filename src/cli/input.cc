#include "cli/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <future>
#include <new>
#include <vector>

namespace kelvra::cli {

namespace {

// The most one line, or a whole input of unknown size (a pipe, a device),
// may take: a quarter of the machine's memory, so that the work on it
// (which holds a few times as much) still fits. Past it the input is
// refused with its place rather than left to exhaust the memory.
std::uint64_t memory_bound() {
  static const std::uint64_t bound = [] {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::uint64_t{1} << 32;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) / 4;
  }();
  return bound;
}

std::string in_bytes(std::uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

}  // namespace

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
  try {
    return read_all_unguarded();
  } catch (const std::bad_alloc&) {
    throw InputError(label_ + ": out of memory: the input is too large to be held whole");
  }
}

std::string InputFile::read_all_unguarded() {
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
    if (total > memory_bound()) {
      throw InputError(label_ + ": more than " + in_bytes(memory_bound()) +
                       " (a quarter of this machine's memory) without an end: too large to be "
                       "held whole");
    }
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
  try {
    parts_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    throw InputError(input.name() + ": out of memory: the input (" + in_bytes(size) +
                     ") is too large to be held whole");
  }
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

// --- LineBatcher ---

namespace {

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

}  // namespace

bool LineBatcher::next(Batch& batch) {
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
    // Straight into the batch: no copy, and no zeroing first. A line that
    // outgrows what memory allows is refused with its number.
    const auto refuse = [&](const std::string& why) {
      throw InputError(input_.name() + ":" +
                       std::to_string(next_line_ + count_line_feeds(text.view())) + ": " + why);
    };
    if (text.size() > memory_bound()) {
      refuse("a line of more than " + in_bytes(memory_bound()) +
             " (a quarter of this machine's memory): too long to be worked on");
    }
    char* room = nullptr;
    try {
      room = text.room(batch_bytes_);
    } catch (const std::bad_alloc&) {
      refuse("out of memory reading a line of more than " + in_bytes(text.size()));
    }
    const std::size_t n = input_.read(room, batch_bytes_);
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

}  // namespace kelvra::cli
