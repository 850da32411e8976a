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
constexpr std::uint64_t text_bytes(std::size_t size) {
  return size < 16 ? 0 : size + 1 + 16;
}

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

  RecordBuilder(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

  Record take() { return std::move(root_); }

  bool null() { return put(Record(nullptr)); }
  bool boolean(bool value) { return put(Record(value)); }
  bool number_integer(number_integer_t value) { return put(Record(value)); }
  bool number_unsigned(number_unsigned_t value) { return put(Record(value)); }
  bool number_float(number_float_t value, const string_t&) { return put(Record(value)); }
  bool string(string_t& value) {
    // The parser's own buffer: moved, so that a long string is never held
    // twice.
    charge(kHeapBlockBytes + text_bytes(value.size()));
    return put(Record(std::move(value)));
  }
  bool binary(binary_t& value) { return put(Record::binary(std::move(value))); }

  bool start_object(std::size_t) {
    charge(kHeapBlockBytes);
    frames_.push_back(Frame{true, members_.size(), 0, Record()});
    return true;
  }
  bool key(string_t& name) {
    charge(kKeyBytes + text_bytes(name.size()));
    members_.emplace_back(std::move(name), Record());
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
    // The parser counts the byte it stopped at.
    const std::size_t byte = std::min(position > 0 ? position - 1 : 0, text_.size());
    const std::string where = "not valid JSON at column " + std::to_string(column_at(text_, byte)) + ": ";
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
      throw JsonTextError(std::string_view::npos,
                          "JSON whose records would take more than " +
                              std::to_string(limits_.max_record_bytes) + " bytes of memory");
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
      while (i < count && key_of(order[i]) == key_of(order[first])) keep_last_value(order[first], order[i++]);
    }
    return dropped;
  }

  std::string_view text_;
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
  if (const std::size_t byte = find_excess_nesting(text, limits.max_depth); byte != std::string_view::npos)
    throw JsonTextError(byte, "JSON nested deeper than " + std::to_string(limits.max_depth) + " levels");
  RecordBuilder builder(text, limits);
  Record::sax_parse(text.begin(), text.end(), &builder);
  return builder.take();
}

std::int64_t line_number_at(std::string_view text, std::size_t byte) noexcept {
  byte = std::min(byte, text.size());
  return 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(byte), '\n');
}

std::string json_error_text(const Record::exception& error) { return std::string(untagged(error.what())); }

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
