// Failures of the toolkit, declared once and thrown everywhere.
//
// Every operation reports failure by throwing one of these; nothing is
// returned as an error code. Each kind derives from the standard exception
// that is closest in meaning, so callers may catch either.
//
//   try { sectioner.split(input, "NER"); }
//   catch (const kelvra::common::KvException& e) { e.code(); e.what(); }
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvra::common {

// Codes carried by KvException.
enum class ErrorCodes : std::int32_t {
  SUCCESS = 0,
  INVALID_PARAMETERS = 1001,
  NOT_FOUND = 1002,
  IO_ERROR = 1003,
  REMOTE_ERROR = 1004,
  INTERNAL_ERROR = 1005,
};

// Every code, in order of value: what a binding to another language exports.
inline constexpr ErrorCodes kAllErrorCodes[] = {
    ErrorCodes::SUCCESS,  ErrorCodes::INVALID_PARAMETERS, ErrorCodes::NOT_FOUND,
    ErrorCodes::IO_ERROR, ErrorCodes::REMOTE_ERROR,       ErrorCodes::INTERNAL_ERROR,
};

// The upper-case name of a code, e.g. "INVALID_PARAMETERS".
std::string_view error_code_name(ErrorCodes code);

// "`PARAMETER` must be EXPECTED, got FOUND": how every value that a
// parameter cannot take is reported, whoever finds it.
std::string must_be_message(std::string_view parameter, std::string_view expected,
                            std::string_view found);

// An invalid choice among fixed options, or another failure that carries a
// code. what() is the message exactly as given.
class KvException : public std::runtime_error {
 public:
  KvException(ErrorCodes code, std::string message);
  ErrorCodes code() const noexcept { return code_; }

 private:
  ErrorCodes code_;
};

// A parameter of the wrong kind (or text that is not valid UTF-8).
class TypeError : public std::invalid_argument {
 public:
  TypeError(std::string parameter, std::string message);
  // The name of the offending parameter, e.g. "text".
  const std::string& parameter() const noexcept { return parameter_; }

 private:
  std::string parameter_;
};

// "missing key 'KEY'": what a KeyError for a plain missing key says.
std::string missing_key_message(std::string_view key);

// A missing key, or a lookup that failed with a message of its own.
class KeyError : public std::out_of_range {
 public:
  // what() is missing_key_message(key).
  explicit KeyError(std::string key);
  // what() is `message` exactly.
  KeyError(std::string key, std::string message);
  const std::string& key() const noexcept { return key_; }

 private:
  std::string key_;
};

// A record that lacks a field an operation needs.
class AttributeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class IndexError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

class ZeroDivisionError : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

// A file that cannot be read or parsed. what() is "PATH: MESSAGE", or
// "PATH:LINE: MESSAGE" when the line is known (line counts from 1).
class FileError : public std::runtime_error {
 public:
  FileError(std::string path, std::string message, std::int64_t line = 0);
  const std::string& path() const noexcept { return path_; }
  std::int64_t line() const noexcept { return line_; }

 private:
  std::string path_;
  std::int64_t line_;
};

}  // namespace kelvra::common
