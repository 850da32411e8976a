// The common services: named loggers, configuration files and a memory hint.
//
//   auto logger = kelvra::common::LogUtil::get_logger("kelvra.nlp.common.phraser");
//   kelvra::Record config = kelvra::common::ConfigUtil::load("annotator.json");
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "kelvra/common/record.h"

namespace kelvra::common {

class LogUtil {
 public:
  // The process-wide logger registered under `name`, created on first use
  // (writing to standard error, level INFO). Later calls with the same name
  // return the same logger. Safe to call from several threads.
  static std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

  // get_logger, the lines of a logger that this call creates laid out as
  // Python's logging lays out "[%(asctime)s] [%(levelname)s]
  // [%(name)s:%(lineno)s] %(message)s" (milliseconds after a comma, the
  // level in capitals, the source line of the logging call):
  //   [2026-12-08 01:02:03,456] [INFO] [kelvra.nlp.common.lang.cantonese:123] Loaded ...
  // A logger the process registered before keeps its own layout.
  static std::shared_ptr<spdlog::logger> get_python_style_logger(const std::string& name);
};

class ConfigUtil {
 public:
  // Reads the JSON file at `path` into a configuration record, keys in file
  // order. Throws FileError with the path when the file cannot be read, is
  // a directory or is larger than 16 MiB, and with the path and line when it
  // is not JSON (a NUL byte included), is nested deeper than kMaxRecordDepth
  // or is not a JSON object.
  static Record load(const std::string& path);
};

// Asks the system to back the whole 2 MiB pages inside a large block that is
// about to be filled with huge pages: filling millions of records or a big
// matrix otherwise takes a page fault every 4 KiB, a good part of the time.
// Only a hint: blocks under 8 MiB are left alone (the call would cost more
// than it saves), and systems without the advice ignore it.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// Empties a container and gives its memory back. (`v = {}` empties it but
// keeps the memory: the braces pick the initializer-list assignment.)
template <class Container>
void free_memory(Container& container) noexcept {
  Container().swap(container);
}

}  // namespace kelvra::common
