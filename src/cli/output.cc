#include "cli/output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvra::cli {

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
    while (first < vectors.size() && left >= vectors[first].iov_len)
      left -= vectors[first++].iov_len;
    if (left > 0) {
      vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
      vectors[first].iov_len -= left;
    }
  }
  return 0;
}

[[noreturn]] void throw_write_failure(int error) {
  throw OutputError(std::string("cannot write the output: ") + std::strerror(error));
}

}  // namespace

Output::~Output() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void Output::flush() { write_blocks({}); }

void Output::write_owned(std::string&& block) {
  // What waits in the buffer goes first, handed over as a block of its own.
  if (!buffer_.empty()) {
    std::string waiting = spare_block();
    waiting.swap(buffer_);
    enqueue(std::move(waiting));
  }
  enqueue(std::move(block));
}

void Output::enqueue(std::string&& block) {
  if (block.empty()) return;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queued_bytes_ < kQueuedBytes || error_ != 0; });
  if (error_ != 0) throw_write_failure(error_);
  written_ += block.size();
  queued_bytes_ += block.size();
  queued_.push_back(std::move(block));
  if (!writer_.joinable()) writer_ = std::thread([this] { write_queued(); });
  lock.unlock();
  changed_.notify_all();
}

std::string Output::spare_block() {
  std::lock_guard lock(mutex_);
  if (spare_.empty()) return {};
  std::string block = std::move(spare_.back());
  spare_.pop_back();
  return block;
}

void Output::write_queued() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queued_.empty() || stopping_; });
    if (queued_.empty()) return;  // stopping, everything written
    std::string block = std::move(queued_.front());
    queued_.pop_front();
    int error = error_;
    lock.unlock();
    if (error == 0) {  // after a failure the rest is dropped
      std::vector<iovec> vectors{iovec{block.data(), block.size()}};
      error = write_all(fd_, vectors);
    }
    const std::size_t size = block.size();
    block.clear();
    lock.lock();
    queued_bytes_ -= size;
    if (error != 0) error_ = error;
    // A few blocks keep their memory for the next batches; a huge one goes.
    if (spare_.size() < kSpareBlocks && block.capacity() <= kSpareBytes)
      spare_.push_back(std::move(block));
    changed_.notify_all();
  }
}

int Output::wait_written() noexcept {
  if (!writer_.joinable()) return 0;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queued_bytes_ == 0 || error_ != 0; });
  return error_;
}

void Output::write_blocks(std::span<const std::string_view> blocks) {
  if (const int error = wait_written(); error != 0) throw_write_failure(error);
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
  if (error != 0) throw_write_failure(error);
  written_ += total;
}

bool Output::truncate(std::uint64_t position) {
  if (position < written_) {
    if (wait_written() != 0) return false;
    // Already written: taken back only from a regular file written at our
    // own position, not from a pipe, a terminal, or a file opened to
    // append (others may write there).
    struct stat st {};
    const int flags = ::fcntl(fd_, F_GETFL);
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_APPEND) != 0)
      return false;
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    const std::uint64_t back = written_ - position;
    if (at < 0 || back > static_cast<std::uint64_t>(at)) return false;
    const off_t end = at - static_cast<off_t>(back);
    if (::ftruncate(fd_, end) != 0 || ::lseek(fd_, end, SEEK_SET) != end) return false;
    buffer_.clear();
    written_ = position;
    return true;
  }
  buffer_.resize(static_cast<std::size_t>(position - written_));
  return true;
}

}  // namespace kelvra::cli
