#include "kelvra/common/utils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {

std::shared_ptr<spdlog::logger> LogUtil::get_logger(const std::string& name) {
  // spdlog's registry is thread-safe, but "look up, else create" is two
  // steps; the mutex makes them one.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = spdlog::stderr_color_mt(name);
  logger->set_level(spdlog::level::info);
  return logger;
}

Record ConfigUtil::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path, std::string("cannot open configuration: ") + std::strerror(errno));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path, "cannot read configuration");

  // Copying or printing a record recurses once per level of nesting.
  if (const std::size_t byte = find_excess_nesting(content); byte != std::string::npos)
    throw FileError(path, "JSON nested deeper than " + std::to_string(kMaxRecordDepth) + " levels",
                    1 + std::count(content.begin(), content.begin() + static_cast<long>(byte), '\n'));
  Record config;
  try {
    config = Record::parse(content);
  } catch (const Record::parse_error& e) {
    // The parser counts bytes; people count lines.
    std::size_t byte = std::min<std::size_t>(e.byte, content.size());
    auto line = 1 + std::count(content.begin(), content.begin() + static_cast<long>(byte > 0 ? byte - 1 : 0), '\n');
    throw FileError(path, std::string("not valid JSON: ") + e.what(), line);
  }
  if (!config.is_object())
    throw FileError(path, "configuration must be a JSON object, got " +
                              std::string(kind_name(config)), 1);
  return config;
}

}  // namespace kelvra::common
