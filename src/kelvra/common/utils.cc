#include "kelvra/common/utils.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"

namespace kelvra::common {

namespace {

// The level name in capitals, as Python's levelname prints it.
class UpperLevelFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    for (char c : spdlog::level::to_string_view(msg.level))
      dest.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<UpperLevelFlag>();
  }
};

// The logger `name`, made by `make` when the process has none of that name.
// spdlog's registry is thread-safe, but "look up, else create" is two steps;
// the mutex makes them one.
template <class Make>
std::shared_ptr<spdlog::logger> existing_or_made(const std::string& name, Make make) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = spdlog::stderr_color_mt(name);
  logger->set_level(spdlog::level::info);
  make(*logger);
  return logger;
}

}  // namespace

std::shared_ptr<spdlog::logger> LogUtil::get_logger(const std::string& name) {
  return existing_or_made(name, [](spdlog::logger&) {});
}

std::shared_ptr<spdlog::logger> LogUtil::get_python_style_logger(const std::string& name) {
  return existing_or_made(name, [](spdlog::logger& logger) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<UpperLevelFlag>('*').set_pattern("[%Y-%m-%d %H:%M:%S,%e] [%*] [%n:%#] %v");
    logger.set_formatter(std::move(formatter));
  });
}

namespace {

// Reading stops here: a path such as /dev/zero would otherwise fill memory.
constexpr std::size_t kMaxConfigBytes = std::size_t{16} << 20;

}  // namespace

Record ConfigUtil::load(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw FileError(path, std::string("cannot open configuration: ") + std::strerror(errno));
  std::string content;
  int error = 0;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else {
    char block[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, block, sizeof block);
      if (n > 0) {
        content.append(block, static_cast<std::size_t>(n));
        if (content.size() > kMaxConfigBytes) {
          error = EFBIG;
          break;
        }
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
  }
  ::close(fd);
  if (error == EISDIR) throw FileError(path, "is a directory, not a configuration file");
  if (error == EFBIG)
    throw FileError(path, "larger than " + std::to_string(kMaxConfigBytes >> 20) +
                              " MiB, which no configuration file is");
  if (error != 0)
    throw FileError(path, std::string("cannot read configuration: ") + std::strerror(error));

  Record config;
  try {
    config = read_json_text(content);
  } catch (const JsonTextError& e) {
    throw FileError(path, e.what(), line_number_at(content, e.byte()));
  }
  if (!config.is_object())
    throw FileError(
        path, "configuration must be a JSON object, got " + std::string(kind_name(config)), 1);
  return config;
}

void advise_huge_pages([[maybe_unused]] const void* data,
                       [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (address + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (address + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace kelvra::common
