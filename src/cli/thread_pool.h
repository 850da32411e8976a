// The threads of kelvra-nlp: how many --jobs may ask for; the pool they run
// on is the library's.
#pragma once

#include "kelvra/common/thread_pool.h"

namespace kelvra::cli {

using common::thread_cpu_seconds;
using common::ThreadPool;

// The number of threads --jobs means by default: the cores this process
// may run on.
int default_jobs();

// The most threads --jobs may ask for: more than a few per core only cost
// memory and start-up time. 4 times default_jobs(), at most 1024.
int max_jobs();

}  // namespace kelvra::cli
