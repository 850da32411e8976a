// Reading JSON text that comes from outside (input files and lines,
// configuration files, service answers) into records, with the guards such
// text needs and that the JSON library alone does not give:
//  - a NUL byte anywhere is refused: the library's reader takes it for the
//    end of the input, so that `{"a":1}` NUL `{"b":2}` would silently read
//    as the first record alone, and JSON never holds a raw NUL;
//  - text nested deeper than kMaxRecordDepth is refused before it is read
//    (copying, comparing and printing a record recurse once per level);
//  - an object with many members reads in O(n log n): the library's own
//    reader looks each new key up among all the earlier ones (100,000 keys,
//    one megabyte, took half a minute);
//  - optionally, the memory the records take, estimated as they are built,
//    is capped, so that a few megabytes of `[{},{},...]` cannot take
//    gigabytes;
//  - strings are decoded straight into the record: a 300 MB string takes
//    300 MB beside the text, not 900.
// The text is read in one pass of our own (a few times faster than the
// library's reader), into exactly the records the library's reader makes:
// key order kept, an integer an unsigned integer (a signed one when
// negative) while it fits, any other number the nearest double. A
// duplicated key keeps its first place and its last value, as the library
// does. Failures are described in our own words, built from what was wrong
// and where.
//
//   try {
//     kelvra::Record record = kelvra::common::read_json_text(line);
//   } catch (const kelvra::common::JsonTextError& e) {
//     // e.what(): "not valid JSON at column 3: invalid literal; last read: 'tru'"
//     // e.byte(): where reading stopped
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kelvra/common/record.h"

namespace kelvra::common {

// JSON text that cannot be read. what() says why, without the source, which
// the caller adds: "PATH:LINE: " + what() reads as a sentence.
class JsonTextError : public std::runtime_error {
 public:
  // What kind of text was refused.
  enum class Kind {
    kNotJson,   // not JSON (a NUL byte, a number beyond a double's range included)
    kTooDeep,   // nested deeper than JsonLimits::max_depth
    kTooLarge,  // its records would pass JsonLimits::max_record_bytes
  };

  JsonTextError(std::size_t byte, std::string message, Kind kind = Kind::kNotJson)
      : std::runtime_error(std::move(message)), byte_(byte), kind_(kind) {}
  // The byte offset in the text where reading stopped; npos when the
  // failure has no place (the records grew past their memory cap).
  std::size_t byte() const noexcept { return byte_; }
  Kind kind() const noexcept { return kind_; }

 private:
  std::size_t byte_;
  Kind kind_;
};

struct JsonLimits {
  // Deeper text is refused before it is read.
  std::size_t max_depth = kMaxRecordDepth;
  // No longer used: every string is decoded once, straight into its
  // record, whatever its length. Kept so that callers setting it still
  // build.
  std::size_t long_string_bytes = std::size_t{1} << 20;
  // The most memory, in bytes, that the records may take, estimated as they
  // are built (what a value, a member, a string and a container cost in a
  // Record); 0 means no cap.
  std::uint64_t max_record_bytes = 0;
};

// The one JSON value that `text` holds (white space around it allowed).
// Throws JsonTextError when the text is not JSON, holds a NUL byte, is
// nested deeper than limits.max_depth, or its records would take more than
// limits.max_record_bytes.
Record read_json_text(std::string_view text, const JsonLimits& limits = {});

// The line (from 1) that holds byte `byte` of `text`; the last line for a
// byte past the end.
std::int64_t line_number_at(std::string_view text, std::size_t byte) noexcept;

// What the JSON library's exception `error` says, without its tag
// ("[json.exception.type_error.302] "), for a message of ours.
std::string json_error_text(const Record::exception& error);

// The start of `bytes` for a message, on one line: at most `max_bytes`
// bytes, cut at a character, control characters as blanks, "..." after it
// when cut, and bytes that are not UTF-8 as '?'.
std::string text_excerpt(std::string_view bytes, std::size_t max_bytes);

}  // namespace kelvra::common
