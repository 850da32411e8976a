#include "cli/thread_pool.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace kelvra::cli {

int default_jobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

int max_jobs() { return std::min(4 * default_jobs(), 1024); }

}  // namespace kelvra::cli
