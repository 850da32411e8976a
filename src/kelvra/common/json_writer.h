// JSON text written straight into a byte buffer: the one writer of record
// text, for the JSON Lines the command line prints and the JSON text the
// Python binding makes. No Record is built per output line.
//
//   std::string out;
//   JsonWriter json(out);
//   json.begin_object();
//   json.key("text");   json.string("你好");
//   json.key("offset"); json.integer(3);
//   json.end_object();
//   json.end_line();     // {"text":"你好","offset":3}\n
//
// Output is compact and escaped as Record::dump() escapes (quote, backslash,
// \b \f \n \r \t, other control characters as \u00XX, everything else as
// UTF-8), with one difference: U+0085, U+2028 and U+2029 are written as
// \u0085, \u2028 and \u2029, so that readers which also end lines there (JavaScript, Python's
// str.splitlines) still see one record per line. Reals are written exactly
// as Record::dump() writes them, so a record comes out as the same text.
//
// Strings must be valid UTF-8: every text written was checked when it was
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

#include "kelvra/common/record.h"

namespace kelvra::common {

// Where a JsonWriter hands the text it has written so far (to a file, say),
// so that its buffer stays small.
class JsonSpill {
 public:
  // Takes the whole of the buffer the writer appends to, leaving it empty.
  virtual void spill() = 0;

 protected:
  ~JsonSpill() = default;
};

// A JsonWriter's buffer grew past its limit (JsonWriter::limit).
class JsonOverflow : public std::exception {
 public:
  const char* what() const noexcept override { return "a JSON buffer outgrew its limit"; }
};

class JsonWriter {
 public:
  // Appends to `out`. With `spill`, whatever `out` holds is handed to it
  // whenever it has grown past a few hundred kilobytes, also in the middle
  // of a long string or after any object or array inside a record, so that
  // a single huge record (a long list of small objects included) never sits
  // whole in memory; `out` must then be the spill's own buffer.
  explicit JsonWriter(std::string& out, JsonSpill* spill = nullptr) : out_(out), spill_(spill) {}

  // Without a spill: the size past which `out` may not grow; the writer
  // then throws JsonOverflow at the next object, list or line it ends, so
  // that its owner can hand the work to a writer that spills.
  void limit(std::size_t bytes) noexcept { limit_ = bytes; }

  // Writes U+0085, U+2028 and U+2029 as they are, as Record::dump() and Python's
  // json.dumps(ensure_ascii=False) do, for text that must match theirs
  // byte for byte (and is not read back a line at a time).
  void keep_line_separators() noexcept { keep_line_separators_ = true; }

  void begin_object() {
    separate();
    out_.push_back('{');
    first_ = true;
  }
  void end_object() {
    out_.push_back('}');
    first_ = false;
    if (spill_ != nullptr || limit_ != 0) spill_if_large();
  }
  void begin_array() {
    separate();
    out_.push_back('[');
    first_ = true;
  }
  void end_array() {
    out_.push_back(']');
    first_ = false;
    if (spill_ != nullptr || limit_ != 0) spill_if_large();
  }

  // A member name; the next call writes its value.
  void key(std::string_view name);
  void string(std::string_view text);
  void integer(std::int64_t value);
  void real(double value);
  void boolean(bool value);
  void null();
  // Any record, at any depth, in the same layout.
  void value(const Record& value);
  // A member: its name, then its value (a string, an integer, a record, or a
  // callable that writes the value itself, such as a list written as it is
  // found). This makes a JsonWriter a sink for the library's record layouts
  // (kelvra/common/record_layout.h), so that a record streamed here is laid
  // out as its to_json lays it out.
  template <class Value>
  void member(std::string_view name, const Value& value) {
    key(name);
    if constexpr (std::is_invocable_v<const Value&>)
      value();
    else if constexpr (std::is_same_v<Value, Record>)
      this->value(value);
    else if constexpr (std::is_same_v<Value, bool>)
      boolean(value);
    else if constexpr (std::is_integral_v<Value>)
      integer(value);
    else
      string(value);
  }
  // Members of an object already written as JSON text in this layout
  // ("a":1,"b":[2]), made once and repeated on many lines; nothing when
  // `json` is empty.
  void members(std::string_view json) {
    if (!json.empty()) raw_value(json);
  }

  // A value already written as JSON text in this layout, copied as it is
  // (the caller has checked that it is).
  void raw_value(std::string_view json) {
    separate();
    out_.append(json);
  }
  // Ends a record's line and gets ready for the next record.
  void end_line();
  // Forgets a record left unfinished (its text is the caller's to drop).
  void reset() noexcept { first_ = true; }

  std::string& buffer() noexcept { return out_; }

 private:
  void separate() {
    if (!first_) out_.push_back(',');
    first_ = false;
  }
  void spill_if_large();

  void append_text(std::string_view text);

  std::string& out_;
  JsonSpill* spill_;
  std::size_t limit_ = 0;  // 0: none
  bool first_ = true;      // nothing written yet at this level (or a key was just written)
  bool keep_line_separators_ = false;
};

// `text` as a JSON string, quotes included, appended to `out`.
void append_json_string(std::string& out, std::string_view text);

}  // namespace kelvra::common
