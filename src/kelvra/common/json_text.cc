#include "kelvra/common/json_text.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "kelvra/common/utf8.h"

namespace kelvra::common {

namespace {

// The longest piece of an offending token quoted in a message.
constexpr std::size_t kTokenExcerpt = 40;

// What parts of a Record cost in memory, roughly, as malloc hands it out:
// a value is 16 bytes wherever it sits; a member adds its key's string
// object; a string and a container are each a heap block behind the value.
constexpr std::uint64_t kValueBytes = sizeof(Record);
constexpr std::uint64_t kKeyBytes = sizeof(std::string);
constexpr std::uint64_t kHeapBlockBytes = 48;

// The heap a string of `size` bytes takes beyond its object (short strings
// live inside it).
constexpr std::uint64_t text_bytes(std::size_t size) { return size < 16 ? 0 : size + 1 + 16; }

std::size_t column_at(std::string_view text, std::size_t byte) {
  byte = std::min(byte, text.size());
  const std::size_t line_start = text.substr(0, byte).rfind('\n');
  return line_start == std::string_view::npos ? byte + 1 : byte - line_start;
}

// The library's message without its tag, "[json.exception.KIND.ID] ".
std::string_view untagged(std::string_view what) {
  if (what.starts_with("[json.exception.")) {
    const std::size_t end = what.find("] ");
    if (end != std::string_view::npos) what.remove_prefix(end + 2);
  }
  return what;
}

// A string token of the text long enough to be decoded here: the library's
// reader keeps each token twice while it reads it (its value, and its raw
// bytes for messages), so that a 300 MB string would take 600 MB more than
// the text. The text is read with such strings cut out.
struct LongString {
  std::size_t ordinal;  // among the text's string tokens, keys included
  std::size_t begin;    // the opening quote
  std::size_t end;      // after the closing quote
  std::string value;
};

[[noreturn]] void refuse_string(std::string_view text, std::size_t byte, const std::string& why) {
  throw JsonTextError(byte, "not valid JSON at column " + std::to_string(column_at(text, byte)) +
                                ": invalid string: " + why);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the \uXXXX escape whose 'u' is at byte `at`.
char32_t code_unit_at(std::string_view text, std::size_t at) {
  char32_t unit = 0;
  for (std::size_t i = at + 1; i < at + 5; ++i) {
    const int digit = i < text.size() ? hex_digit(text[i]) : -1;
    if (digit < 0) refuse_string(text, i, "\\u must be followed by four hex digits");
    unit = unit * 16 + static_cast<char32_t>(digit);
  }
  return unit;
}

// Decodes the string token text[begin, end) (quotes included) as the
// library's reader does: UTF-8 only, control characters escaped, the
// escapes of JSON, UTF-16 surrogates only in pairs.
std::string decode_string(std::string_view text, std::size_t begin, std::size_t end) {
  const std::string_view raw = text.substr(begin + 1, end - begin - 2);
  if (const std::size_t bad = utf8::find_invalid(raw); bad != utf8::npos)
    refuse_string(text, begin + 1 + bad, "ill-formed UTF-8 byte");
  std::string out;
  out.reserve(raw.size());
  for (std::size_t pos = 0; pos < raw.size();) {
    std::size_t stop = pos;
    while (stop < raw.size() && raw[stop] != '\\' && static_cast<unsigned char>(raw[stop]) >= 0x20)
      ++stop;
    out.append(raw.substr(pos, stop - pos));
    if (stop == raw.size()) break;
    const std::size_t at = begin + 1 + stop;  // in `text`
    if (raw[stop] != '\\') refuse_string(text, at, "a control character must be escaped");
    if (stop + 1 == raw.size()) refuse_string(text, at, "a backslash ends it");
    pos = stop + 2;
    switch (raw[stop + 1]) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '/':
        out.push_back('/');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        char32_t cp = code_unit_at(text, at + 1);
        pos = stop + 6;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
          refuse_string(text, at, "a low surrogate \\u escape stands alone");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          const bool paired = raw.substr(pos, 2) == "\\u";
          const char32_t low = paired ? code_unit_at(text, at + 7) : 0;
          if (!paired || low < 0xDC00 || low > 0xDFFF)
            refuse_string(text, at, "a high surrogate \\u escape is not followed by a low one");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          pos += 6;
        }
        utf8::append(out, cp);
        break;
      }
      default:
        refuse_string(text, at, "an unknown escape after a backslash");
    }
  }
  return out;
}

// The string tokens of at least `long_bytes` bytes, in the order the
// reader meets them: outside strings JSON has no quotes, and inside them a
// backslash escapes the byte after it.
std::vector<LongString> long_strings_of(std::string_view text, std::size_t long_bytes) {
  std::vector<LongString> found;
  if (text.size() < long_bytes) return found;
  std::size_t ordinal = 0;
  for (std::size_t begin = text.find('"'); begin != std::string_view::npos;
       begin = text.find('"', begin)) {
    std::size_t end = begin + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    if (end >= text.size()) break;  // unterminated: the reader says so
    if (end + 1 - begin >= long_bytes) found.push_back(LongString{ordinal, begin, end + 1, {}});
    ++ordinal;
    begin = end + 1;
  }
  return found;
}

// Builds the record from the parser's events, as the library's own builder
// does, except that an object's members are gathered first and then placed
// at once: duplicates are found by sorting rather than by a search per key,
// and the object gets exactly the room it needs.
class RecordBuilder {
 public:
  using number_integer_t = Record::number_integer_t;
  using number_unsigned_t = Record::number_unsigned_t;
  using number_float_t = Record::number_float_t;
  using string_t = Record::string_t;
  using binary_t = Record::binary_t;

  // `text`: what the reader reads, `long_strings` cut out of `original`.
  RecordBuilder(std::string_view original, std::string_view text,
                std::vector<LongString>& long_strings, const JsonLimits& limits)
      : original_(original), text_(text), long_strings_(long_strings), limits_(limits) {}

  Record take() { return std::move(root_); }

  bool null() { return put(Record(nullptr)); }
  bool boolean(bool value) { return put(Record(value)); }
  bool number_integer(number_integer_t value) { return put(Record(value)); }
  bool number_unsigned(number_unsigned_t value) { return put(Record(value)); }
  bool number_float(number_float_t value, const string_t&) { return put(Record(value)); }
  bool string(string_t& value) {
    // The parser's own buffer (or a string decoded apart): moved, so that a
    // long string is never held twice.
    string_t& taken = next_string(value);
    charge(kHeapBlockBytes + text_bytes(taken.size()));
    return put(Record(std::move(taken)));
  }
  bool binary(binary_t& value) { return put(Record::binary(std::move(value))); }

  bool start_object(std::size_t) {
    charge(kHeapBlockBytes);
    frames_.push_back(Frame{true, members_.size(), 0, Record()});
    return true;
  }
  bool key(string_t& name) {
    string_t& taken = next_string(name);
    charge(kKeyBytes + text_bytes(taken.size()));
    members_.emplace_back(std::move(taken), Record());
    frames_.back().pending = members_.size() - 1;
    return true;
  }
  bool end_object() {
    const std::size_t begin = frames_.back().begin;
    frames_.pop_back();
    Record object = Record::object();
    auto& map = object.get_ref<Record::object_t&>();
    const std::size_t count = members_.size() - begin;
    std::vector<char> dropped = merge_duplicates(begin, count);
    map.reserve(count - static_cast<std::size_t>(std::count(dropped.begin(), dropped.end(), 1)));
    for (std::size_t i = 0; i < count; ++i) {
      if (!dropped.empty() && dropped[i]) continue;
      auto& [name, value] = members_[begin + i];
      map.emplace_back(std::move(name), std::move(value));
    }
    members_.resize(begin);
    return put(std::move(object));
  }

  bool start_array(std::size_t) {
    charge(kHeapBlockBytes);
    frames_.push_back(Frame{false, 0, 0, Record::array()});
    return true;
  }
  bool end_array() {
    Record array = std::move(frames_.back().array);
    frames_.pop_back();
    return put(std::move(array));
  }

  bool parse_error(std::size_t position, const std::string& last_token,
                   const Record::exception& error) {
    // The parser counts the byte it stopped at; a number out of range is
    // placed at its start.
    const std::size_t stop = position > 0 ? position - 1 : 0;
    const std::size_t start =
        error.id == 406 && last_token.size() <= position ? position - last_token.size() : stop;
    const std::size_t byte = in_original(std::min(start, text_.size()));
    const std::string where =
        "not valid JSON at column " + std::to_string(column_at(original_, byte)) + ": ";
    const std::string excerpt = text_excerpt(last_token, kTokenExcerpt);
    if (error.id == 406)  // a number beyond a double's range
      throw JsonTextError(byte, where + "the number " + excerpt + " is too large to hold");
    std::string_view what = untagged(error.what());
    // "parse error at line 1, column 5: syntax error while parsing value - DETAIL"
    if (const std::size_t dash = what.find(" - "); dash != std::string_view::npos)
      what.remove_prefix(dash + 3);
    std::string detail(what);
    // The token read last may be a whole long string: quote only its start.
    const std::string quoted = "; last read: '" + last_token + "'";
    if (const std::size_t at = detail.find(quoted); at != std::string::npos)
      detail.replace(at, quoted.size(), "; last read: '" + excerpt + "'");
    throw JsonTextError(byte, where + detail);
  }

 private:
  struct Frame {
    bool object;
    std::size_t begin;    // an object's first member in members_
    std::size_t pending;  // the member whose value comes next
    Record array;         // an array's elements so far
  };

  // The value of the next string token: the reader's, or the one decoded
  // apart when the token was cut out.
  string_t& next_string(string_t& read) {
    const std::size_t ordinal = strings_seen_++;
    if (next_long_ < long_strings_.size() && long_strings_[next_long_].ordinal == ordinal)
      return long_strings_[next_long_++].value;
    return read;
  }

  // A byte of the text read, as a byte of the original.
  std::size_t in_original(std::size_t byte) const {
    std::size_t shift = 0;  // bytes cut out before `byte`
    for (const LongString& cut : long_strings_) {
      if (byte < cut.begin - shift + 2) break;  // before the cut's "" or in it
      shift += cut.end - cut.begin - 2;
    }
    return std::min(byte + shift, original_.size());
  }

  bool put(Record&& value) {
    charge(kValueBytes);
    if (frames_.empty()) {
      root_ = std::move(value);
    } else if (Frame& frame = frames_.back(); frame.object) {
      members_[frame.pending].second = std::move(value);
    } else {
      frame.array.get_ref<Record::array_t&>().push_back(std::move(value));
    }
    return true;
  }

  void charge(std::uint64_t bytes) {
    spent_ += bytes;
    if (limits_.max_record_bytes != 0 && spent_ > limits_.max_record_bytes)
      throw JsonTextError(std::string_view::npos, "JSON whose records would take more than " +
                                                      std::to_string(limits_.max_record_bytes) +
                                                      " bytes of memory");
  }

  // Marks the members after the first of each key as dropped, the first
  // taking the value of the last, as the library's reader does. Empty when
  // no key repeats.
  std::vector<char> merge_duplicates(std::size_t begin, std::size_t count) {
    std::vector<char> dropped;
    if (count < 2) return dropped;
    auto key_of = [&](std::size_t i) -> const std::string& { return members_[begin + i].first; };
    auto keep_last_value = [&](std::size_t first, std::size_t later) {
      if (dropped.empty()) dropped.assign(count, 0);
      members_[begin + first].second = std::move(members_[begin + later].second);
      dropped[later] = 1;
    };
    if (count <= 8) {
      for (std::size_t i = 1; i < count; ++i)
        for (std::size_t j = 0; j < i; ++j)
          if (!(dropped.size() > j && dropped[j]) && key_of(j) == key_of(i)) {
            keep_last_value(j, i);
            break;
          }
      return dropped;
    }
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key_of(a) < key_of(b); });
    for (std::size_t i = 1; i < count; ++i) {
      std::size_t first = i - 1;
      while (i < count && key_of(order[i]) == key_of(order[first]))
        keep_last_value(order[first], order[i++]);
    }
    return dropped;
  }

  std::string_view original_;
  std::string_view text_;
  std::vector<LongString>& long_strings_;
  std::size_t strings_seen_ = 0;
  std::size_t next_long_ = 0;
  const JsonLimits& limits_;
  Record root_;
  std::vector<Frame> frames_;
  std::vector<std::pair<std::string, Record>> members_;  // of every open object, innermost last
  std::uint64_t spent_ = 0;
};

}  // namespace

Record read_json_text(std::string_view text, const JsonLimits& limits) {
  if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
    const auto byte = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
    throw JsonTextError(byte, "not valid JSON at column " + std::to_string(column_at(text, byte)) +
                                  ": a NUL byte, which JSON allows only escaped, as \\u0000 "
                                  "inside a string");
  }
  if (const std::size_t byte = find_excess_nesting(text, limits.max_depth);
      byte != std::string_view::npos)
    throw JsonTextError(byte,
                        "JSON nested deeper than " + std::to_string(limits.max_depth) + " levels");
  std::vector<LongString> long_strings = long_strings_of(text, limits.long_string_bytes);
  std::string cut;  // the text with the long strings cut out, when there are any
  if (!long_strings.empty()) {
    std::size_t from = 0;
    for (LongString& piece : long_strings) {
      piece.value = decode_string(text, piece.begin, piece.end);
      cut.append(text.substr(from, piece.begin - from)).append("\"\"");
      from = piece.end;
    }
    cut.append(text.substr(from));
  }
  const std::string_view read = long_strings.empty() ? text : std::string_view(cut);
  RecordBuilder builder(text, read, long_strings, limits);
  Record::sax_parse(read.begin(), read.end(), &builder);
  return builder.take();
}

std::int64_t line_number_at(std::string_view text, std::size_t byte) noexcept {
  byte = std::min(byte, text.size());
  return 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(byte), '\n');
}

std::string json_error_text(const Record::exception& error) {
  return std::string(untagged(error.what()));
}

std::string text_excerpt(std::string_view bytes, std::size_t max_bytes) {
  std::string out;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t size = utf8::sequence_size(static_cast<unsigned char>(bytes[pos]));
    const bool valid = pos + size <= bytes.size() && utf8::is_valid(bytes.substr(pos, size));
    if (!valid) size = 1;
    if (out.size() + (valid ? size : 1) > max_bytes) break;
    if (!valid) {
      out.push_back('?');
    } else if (size == 1 && (static_cast<unsigned char>(bytes[pos]) < 0x20 || bytes[pos] == 0x7f)) {
      out.push_back(' ');
    } else {
      out.append(bytes.substr(pos, size));
    }
    pos += size;
  }
  if (pos < bytes.size()) out += "...";
  return out;
}

}  // namespace kelvra::common
