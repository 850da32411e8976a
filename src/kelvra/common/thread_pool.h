// A pool of threads that starts them only as work comes, and the CPU time
// they use: what the library's parallel walks and the command line's
// subcommands run their work on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvra::common {

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
  // all can be started. Several threads may submit at once (a caller's pool
  // lent to calls on several threads); a task must not wait for tasks it
  // submitted to its own pool.
  std::future<void> submit(std::function<void()> task);

  // The most threads it runs.
  int threads() const noexcept;

  // Waits for the tasks given so far, ends the threads and returns the CPU
  // time they used, in seconds.
  double finish();

 private:
  void serve();
  void stop();

  int threads_;                       // under start_mutex_
  std::vector<std::thread> workers_;  // under start_mutex_ while tasks are submitted
  mutable std::mutex start_mutex_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<void()>> tasks_;
  std::size_t idle_ = 0;  // workers waiting for a task
  bool stopping_ = false;
  bool draining_ = false;  // finish(): run what is queued, then end
  std::atomic<std::int64_t> cpu_nanoseconds_{0};
};

// The CPU time the calling thread has used so far, in seconds.
double thread_cpu_seconds();

}  // namespace kelvra::common
