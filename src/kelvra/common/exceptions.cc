#include "kelvra/common/exceptions.h"

#include <utility>

namespace kelvra::common {

std::string_view error_code_name(ErrorCodes code) {
  switch (code) {
    case ErrorCodes::SUCCESS:
      return "SUCCESS";
    case ErrorCodes::INVALID_PARAMETERS:
      return "INVALID_PARAMETERS";
    case ErrorCodes::NOT_FOUND:
      return "NOT_FOUND";
    case ErrorCodes::IO_ERROR:
      return "IO_ERROR";
    case ErrorCodes::REMOTE_ERROR:
      return "REMOTE_ERROR";
    case ErrorCodes::INTERNAL_ERROR:
      return "INTERNAL_ERROR";
  }
  return "UNKNOWN";
}

std::string must_be_message(std::string_view parameter, std::string_view expected,
                            std::string_view found) {
  std::string message = "`";
  message.append(parameter).append("` must be ").append(expected).append(", got ").append(found);
  return message;
}

std::string missing_key_message(std::string_view key) {
  std::string message = "missing key '";
  message.append(key).append("'");
  return message;
}

KvException::KvException(ErrorCodes code, std::string message)
    : std::runtime_error(std::move(message)), code_(code) {}

TypeError::TypeError(std::string parameter, std::string message)
    : std::invalid_argument(std::move(message)), parameter_(std::move(parameter)) {}

KeyError::KeyError(std::string key)
    : std::out_of_range(missing_key_message(key)), key_(std::move(key)) {}

KeyError::KeyError(std::string key, std::string message)
    : std::out_of_range(std::move(message)), key_(std::move(key)) {}

namespace {
std::string file_message(const std::string& path, const std::string& message, std::int64_t line) {
  if (line > 0) return path + ":" + std::to_string(line) + ": " + message;
  return path + ": " + message;
}
}  // namespace

FileError::FileError(std::string path, std::string message, std::int64_t line)
    : std::runtime_error(file_message(path, message, line)), path_(std::move(path)), line_(line) {}

}  // namespace kelvra::common
