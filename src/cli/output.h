// The output of kelvra-nlp. The threads that work format their records
// into buffers of their own; the thread that writes only hands the finished
// buffers to the system in order, several at once and without copying them
// (vectored writes), so that it is not what limits many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cli/errors.h"
#include "kelvra/common/json_writer.h"

namespace kelvra::cli {

using common::append_json_string;
using common::JsonWriter;

// Standard output, written in large blocks. Everything printed goes
// through here, so that a failed write is always noticed.
class Output final : public common::JsonSpill {
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
  // A JsonWriter's spill: flush().
  void spill() override { flush(); }
  // Writes everything waiting, then `blocks` in order, handing them to the
  // system as they are (vectored writes), without copying them into the
  // buffer. OutputError as flush().
  void write_blocks(std::span<const std::string_view> blocks);

  // Bytes printed so far, written or waiting.
  std::uint64_t position() const noexcept { return written_ + buffer_.size(); }
  // Drops what was printed after `position`: from the buffer, and what was
  // already written, when the output is a regular file written at our own
  // position (so a record that failed half-way through a huge output is
  // not left cut short in a file). False when part of it was written where
  // it cannot be taken back (a pipe, a terminal, a file opened to append).
  bool truncate(std::uint64_t position);

 private:
  static constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
  int fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

}  // namespace kelvra::cli
