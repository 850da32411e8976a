// The input of kelvra-nlp: a file or standard input read in blocks, the
// whole of it in memory, or cut into batches of whole lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "cli/errors.h"
#include "cli/thread_pool.h"

namespace kelvra::cli {

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
  // The whole rest of the input. InputError naming it when it cannot be
  // held (out of memory, or more than a quarter of the machine's memory
  // from a pipe or device, which may never end).
  std::string read_all();

  // "stdin", or the path, as messages name the input.
  const std::string& name() const noexcept { return name_; }
  // The size in bytes when known beforehand (a regular file: what is left
  // of it to read), else 0.
  std::uint64_t size() const noexcept { return size_; }

 private:
  std::string read_all_unguarded();

  int fd_;
  bool owned_;
  std::string name_;
  std::string label_;  // name_, with the option before it
  std::uint64_t size_ = 0;
  std::uint64_t start_ = 0;  // where a regular file's reading began
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
  std::string whole_;  // read in one go
};

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

// Whole lines of the input, with the number of the first and the place of
// its first byte in the input.
struct Batch {
  ReadBuffer text;  // whole lines; the input's last line may lack its line feed
  std::int64_t first_line = 1;
  std::uint64_t first_byte = 0;
};

// Cuts the input into batches of whole lines of about `batch_bytes` each,
// numbering their lines and bytes. A line longer than a batch is read whole:
// it cannot be cut.
class LineBatcher {
 public:
  LineBatcher(InputFile& input, std::size_t batch_bytes)
      : input_(input), batch_bytes_(batch_bytes) {}

  // The next batch into `batch` (its buffer reused); false at the end of
  // the input. InputError when the system cannot read.
  bool next(Batch& batch);

 private:
  InputFile& input_;
  std::size_t batch_bytes_;
  std::string carry_;  // read past the last batch's end
  bool end_ = false;
  std::int64_t next_line_ = 1;
  std::uint64_t next_byte_ = 0;
};

}  // namespace kelvra::cli
