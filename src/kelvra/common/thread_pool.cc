#include "kelvra/common/thread_pool.h"

#include <time.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kelvra::common {

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

int ThreadPool::threads() const noexcept {
  std::lock_guard<std::mutex> lock(start_mutex_);
  return threads_;
}

std::future<void> ThreadPool::submit(std::function<void()> task) {
  std::packaged_task<void()> packaged(std::move(task));
  auto future = packaged.get_future();
  std::lock_guard<std::mutex> starting(start_mutex_);
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

double thread_cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace kelvra::common
