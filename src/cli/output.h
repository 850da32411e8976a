// The output of kelvra-nlp. The threads that work format their records
// into buffers of their own; the thread that writes only hands the finished
// buffers to the system in order, several at once and without copying them
// (vectored writes), so that it is not what limits many threads. Finished
// buffers may also be handed over whole (write_owned) to a thread that
// writes them while the run goes on: a command piped into another then
// keeps working while the next one reads, instead of waiting on the pipe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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
  // Writes what was handed over and not yet written, unless writing failed.
  ~Output();
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
  // when the system refuses (here or, earlier, for a block handed over).
  void flush();
  // Hands what waits in the buffer, then `block`, to the writing thread
  // (started on first use) and returns at once, unless kQueuedBytes are
  // already waiting there. Every other way of writing first waits for the
  // handed-over blocks to be written, so the order is kept. A failure to
  // write one is thrown by the next call that writes (or flush()).
  void write_owned(std::string&& block);
  // An empty string with the memory of a block written since, or a new one:
  // to fill and hand over again, without fresh pages each time.
  std::string spare_block();
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
  // The most that waits for the writing thread: a few batches' output.
  static constexpr std::size_t kQueuedBytes = std::size_t{64} << 20;

  // Hands `block` to the writing thread, waiting for room first.
  void enqueue(std::string&& block);
  // Waits until the handed-over blocks are written (or one failed); the
  // failure's errno, 0 if none.
  int wait_written() noexcept;
  void write_queued();  // the writing thread
  static constexpr std::size_t kSpareBlocks = 4;
  static constexpr std::size_t kSpareBytes = std::size_t{16} << 20;

  int fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;  // counts handed-over blocks as written

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queued_;  // handed over, not yet written
  std::size_t queued_bytes_ = 0;  // handed over, not yet written, the block being written included
  int error_ = 0;                 // the failure of a handed-over block
  bool stopping_ = false;
  std::vector<std::string> spare_;  // written blocks, their memory kept
  std::thread writer_;
};

}  // namespace kelvra::cli
