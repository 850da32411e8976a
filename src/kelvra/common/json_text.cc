#include "kelvra/common/json_text.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads JSON text into a record in one pass over it: nesting is counted as
// it is read, strings are decoded straight into the string the record
// keeps, numbers are read as the JSON library reads them (an integer token
// stays an integer of the library's kind when it fits, a real is the
// nearest double), and a container's members or elements are gathered
// first and placed at once: an object's duplicates are found by sorting
// rather than by a search per key, and every container gets exactly the
// room it needs (no array grows by copying, and the allocator meets one
// request per container). Nesting never recurses.
class Reader {
 public:
  Reader(std::string_view text, const JsonLimits& limits)
      : text_(text),
        limits_(limits),
        frames_(scratch().frames),
        members_(scratch().members),
        elements_(scratch().elements),
        decoded_(scratch().decoded),
        decoded_keys_(scratch().decoded_keys) {}

  // The scratch lists stay with the thread for the next text, emptied (and
  // given back when one text made them large).
  ~Reader() {
    frames_.clear();
    members_.clear();
    elements_.clear();
    constexpr std::size_t kKeep = 1 << 12;
    if (frames_.capacity() > kKeep) frames_.shrink_to_fit();
    if (members_.capacity() > kKeep) members_.shrink_to_fit();
    if (elements_.capacity() > kKeep) elements_.shrink_to_fit();
    if (decoded_.capacity() > (kKeep << 8)) decoded_ = std::string();
    decoded_keys_.clear();
    if (decoded_keys_.capacity() > (kKeep << 8)) decoded_keys_ = std::string();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  Record read() {
    for (;;) {
      read_value();
      // Close what ends here; then the next element, or the end.
      for (;;) {
        skip_blanks();
        if (frames_.empty()) {
          if (pos_ != text_.size()) unexpected("end of input");
          return std::move(root_);
        }
        const bool object = frames_.back().object;
        if (pos_ < text_.size() && text_[pos_] == ',') {
          ++pos_;
          if (object) read_key();
          break;
        }
        if (pos_ == text_.size() || text_[pos_] != (object ? '}' : ']'))
          unexpected(object ? "'}'" : "']'");
        ++pos_;
        close();
      }
    }
  }

 private:
  // An open container: an object's members are gathered in members_, an
  // array's elements in elements_, and placed when it closes.
  struct Frame {
    bool object;
    std::size_t begin;  // its first member in members_, or first element in elements_
  };

  // A member of an open object. Its key is a piece of the text, or of
  // decoded_keys_ when it had escapes; the key's string is made once, in
  // the finished object.
  struct Member {
    std::size_t key_offset;
    std::size_t key_size;
    bool decoded;
    Record value;
  };

  // The lists a reader works in, one pair per thread, so that reading many
  // small texts does not allocate them anew each time.
  struct Scratch {
    std::vector<Frame> frames;
    std::vector<Member> members;
    std::vector<Record> elements;
    std::string decoded;
    std::string decoded_keys;
  };
  static Scratch& scratch() {
    static thread_local Scratch lists;
    return lists;
  }

  // --- Failures, in our words ---

  [[noreturn]] void fail_at(std::size_t byte, const std::string& detail) const {
    byte = std::min(byte, text_.size());
    throw JsonTextError(
        byte, "not valid JSON at column " + std::to_string(column_at(text_, byte)) + ": " + detail);
  }

  // A token that cannot be read: what is wrong with it, and the token as
  // far as it was read (up to byte `stop`, included), quoted shortly.
  [[noreturn]] void fail_token(std::size_t start, std::size_t stop, const std::string& what) const {
    const std::string_view read =
        text_.substr(start, std::min(stop + 1, text_.size()) - std::min(start, text_.size()));
    fail_at(stop, what + "; last read: '" + text_excerpt(read, kTokenExcerpt) + "'");
  }

  // The token at pos_ is not one that may stand there.
  [[noreturn]] void unexpected(std::string_view expected) const {
    std::string found;
    if (pos_ == text_.size()) {
      found = "end of input";
    } else {
      const char c = text_[pos_];
      if (c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',') {
        found = std::string("'") + c + "'";
      } else if (c == '"') {
        found = "string literal";
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        found = "number literal";
      } else {
        for (std::string_view literal : {"true", "false", "null"})
          if (text_.substr(pos_, literal.size()) == literal)
            found = std::string(literal) + " literal";
        if (found.empty()) {
          // Not a token at all: say where it stops being one.
          std::size_t stop = pos_;
          const std::string_view literal = c == 't' ? "true" : c == 'f' ? "false" : "null";
          if (c == 't' || c == 'f' || c == 'n')
            while (stop + 1 < text_.size() && stop + 1 - pos_ < literal.size() &&
                   text_[stop + 1] == literal[stop + 1 - pos_])
              ++stop;
          fail_token(pos_, c == 't' || c == 'f' || c == 'n' ? stop + 1 : pos_, "invalid literal");
        }
      }
    }
    fail_at(pos_, "unexpected " + found + "; expected " + std::string(expected));
  }

  // --- Values ---

  void skip_blanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
      ++pos_;
    }
  }

  // One value: a scalar is put in place; a container is opened, and its
  // first element read the same way.
  void read_value() {
    for (;;) {
      skip_blanks();
      if (pos_ == text_.size()) unexpected("'[', '{', or a literal");
      const char c = text_[pos_];
      switch (c) {
        case '{':
        case '[':
          open(c == '{');
          skip_blanks();
          if (pos_ < text_.size() && text_[pos_] == (c == '{' ? '}' : ']')) {
            ++pos_;
            close();
            return;
          }
          if (c == '{') read_key();
          continue;
        case '"': {
          const std::string_view value = read_string();
          charge(kHeapBlockBytes + text_bytes(value.size()));
          put(Record(value));
          return;
        }
        case 't':
          read_literal("true");
          put(Record(true));
          return;
        case 'f':
          read_literal("false");
          put(Record(false));
          return;
        case 'n':
          read_literal("null");
          put(Record(nullptr));
          return;
        default:
          if (c == '-' || (c >= '0' && c <= '9')) {
            put(read_number());
            return;
          }
          if (c == '}' || c == ']' || c == ':' || c == ',') unexpected("'[', '{', or a literal");
          fail_token(pos_, pos_, "invalid literal");
      }
    }
  }

  void open(bool object) {
    if (frames_.size() >= limits_.max_depth)
      throw JsonTextError(
          pos_, "JSON nested deeper than " + std::to_string(limits_.max_depth) + " levels",
          JsonTextError::Kind::kTooDeep);
    ++pos_;
    charge(kHeapBlockBytes);
    frames_.push_back(Frame{object, object ? members_.size() : elements_.size()});
  }

  // A member's key and its colon; its value comes next.
  void read_key() {
    skip_blanks();
    if (pos_ == text_.size() || text_[pos_] != '"') unexpected("string literal");
    const std::string_view key = read_string();
    charge(kKeyBytes + text_bytes(key.size()));
    if (key.data() >= text_.data() && key.data() <= text_.data() + text_.size()) {
      members_.push_back(
          Member{static_cast<std::size_t>(key.data() - text_.data()), key.size(), false, Record()});
    } else {
      members_.push_back(Member{decoded_keys_.size(), key.size(), true, Record()});
      decoded_keys_.append(key);
    }
    skip_blanks();
    if (pos_ == text_.size() || text_[pos_] != ':') unexpected("':'");
    ++pos_;
  }

  void read_literal(std::string_view literal) {
    const std::size_t start = pos_;
    for (char expected : literal) {
      if (pos_ == text_.size()) fail_token(start, pos_ - 1, "invalid literal");
      if (text_[pos_] != expected) fail_token(start, pos_, "invalid literal");
      ++pos_;
    }
  }

  bool digit_at(std::size_t at) const {
    return at < text_.size() && text_[at] >= '0' && text_[at] <= '9';
  }

  // A number, by JSON's grammar. An integer token is an unsigned integer,
  // or a signed one when negative, as long as it fits; otherwise, and with
  // a fraction or an exponent, the nearest double, which must be finite.
  Record read_number() {
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (!digit_at(pos_)) fail_token(start, pos_, "invalid number; expected digit after '-'");
    std::uint64_t magnitude = 0;
    bool fits = true;
    if (text_[pos_] == '0') {
      ++pos_;
    } else {
      while (digit_at(pos_)) {
        const auto digit = static_cast<std::uint64_t>(text_[pos_++] - '0');
        fits = fits && !__builtin_mul_overflow(magnitude, 10, &magnitude) &&
               !__builtin_add_overflow(magnitude, digit, &magnitude);
      }
    }
    bool integer = true;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      integer = false;
      ++pos_;
      if (!digit_at(pos_)) fail_token(start, pos_, "invalid number; expected digit after '.'");
      while (digit_at(pos_)) ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integer = false;
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        ++pos_;
        if (!digit_at(pos_))
          fail_token(start, pos_, "invalid number; expected digit after exponent sign");
      } else if (!digit_at(pos_)) {
        fail_token(start, pos_, "invalid number; expected '+', '-', or digit after exponent");
      }
      while (digit_at(pos_)) ++pos_;
    }
    if (integer && fits) {
      if (!negative) return Record(static_cast<Record::number_unsigned_t>(magnitude));
      if (magnitude <= std::uint64_t{1} << 63)
        return Record(static_cast<Record::number_integer_t>(0 - magnitude));
    }
    const std::string_view token = text_.substr(start, pos_ - start);
    double value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc() || end != token.data() + token.size()) {
      // Beyond a double's range: C's reading says whether it is too large
      // (infinite) or too small (zero, its sign kept), as the library has it.
      static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
      value = ::strtod_l(std::string(token).c_str(), nullptr, c_locale);
    }
    if (!std::isfinite(value))
      fail_at(start, "the number " + text_excerpt(token, kTokenExcerpt) + " is too large to hold");
    return Record(value);
  }

  [[noreturn]] void bad_string(std::size_t start, std::size_t stop, const char* why) const {
    fail_token(start, stop, std::string("invalid string: ") + why);
  }

  // The code unit of the \uXXXX escape whose 'u' is at byte `at`.
  char32_t code_unit_at(std::size_t start, std::size_t at) const {
    char32_t unit = 0;
    for (std::size_t i = at + 1; i < at + 5; ++i) {
      const int digit = i < text_.size() ? hex_digit(text_[i]) : -1;
      if (digit < 0)
        bad_string(start, std::min(i, text_.size() - 1), "\\u must be followed by four hex digits");
      unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return unit;
  }

  // The string token at pos_ (its opening quote), decoded: UTF-8 only,
  // control characters escaped, the escapes of JSON, UTF-16 surrogates only
  // in pairs. The usual string, with nothing to decode, is a view of the
  // text; any other is decoded into decoded_: either is valid until the
  // next string is read.
  std::string_view read_string() {
    const std::size_t start = pos_++;
    std::size_t stop = plain_run(pos_);
    if (stop < text_.size() && text_[stop] == '"') {
      const std::string_view plain = text_.substr(pos_, stop - pos_);
      pos_ = stop + 1;
      return plain;
    }
    std::string& out = decoded_;
    out.clear();
    for (;;) {
      out.append(text_.substr(pos_, stop - pos_));
      pos_ = stop;
      if (pos_ == text_.size()) bad_string(start, pos_ - 1, "missing closing quote");
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        bad_string(start, pos_, "a control character must be escaped");
      if (c != '\\') bad_string(start, pos_, "ill-formed UTF-8 byte");
      if (pos_ + 1 == text_.size()) bad_string(start, pos_, "missing closing quote");
      const std::size_t at = pos_;
      pos_ += 2;
      switch (text_[at + 1]) {
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
          char32_t cp = code_unit_at(start, at + 1);
          pos_ = at + 6;
          if (cp >= 0xDC00 && cp <= 0xDFFF)
            bad_string(start, at + 5, "a low surrogate \\u escape stands alone");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            const bool paired = text_.substr(pos_, 2) == "\\u";
            const char32_t low = paired ? code_unit_at(start, pos_ + 1) : 0;
            if (!paired || low < 0xDC00 || low > 0xDFFF)
              bad_string(start, std::min(paired ? pos_ + 5 : pos_, text_.size() - 1),
                         "a high surrogate \\u escape is not followed by a low one");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            pos_ += 6;
          }
          utf8::append(out, cp);
          break;
        }
        default:
          bad_string(start, at + 1, "an unknown escape after a backslash");
      }
      stop = plain_run(pos_);
    }
  }

  // The end of the run of string bytes from `from` that stand for
  // themselves: well-formed UTF-8 without quotes, backslashes and control
  // characters. ASCII goes eight bytes at a time once one ASCII byte is
  // seen (text without any, such as Chinese, does not pay for the test at
  // every character); the common three-byte characters go in a loop of
  // their own.
  std::size_t plain_run(std::size_t from) const {
    const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t n = text_.size();
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    std::size_t i = from;
    while (i < n) {
      const unsigned char b = s[i];
      if (b < 0x80) {
        if (b == '"' || b == '\\' || b < 0x20) return i;
        ++i;
        while (i + 8 <= n) {
          std::uint64_t v;
          std::memcpy(&v, s + i, 8);
          const std::uint64_t quote = v ^ (kOnes * '"'), slash = v ^ (kOnes * '\\');
          // A high bit set for any byte that is a quote, a backslash, below
          // 0x20 or beyond ASCII (and perhaps for a plain byte beside one).
          const std::uint64_t special = ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) |
                                        ((v - kOnes * 0x20) & ~v) | v;
          if ((special & kHighs) != 0) break;
          i += 8;
        }
        continue;
      }
      // U+1000 to U+CFFF (most Chinese): a lead byte E1..EC, two
      // continuation bytes.
      while (i + 3 <= n && s[i] >= 0xE1 && s[i] <= 0xEC && (s[i + 1] & 0xC0) == 0x80 &&
             (s[i + 2] & 0xC0) == 0x80)
        i += 3;
      if (i == n || s[i] < 0x80) continue;
      // Any other sequence, as the Unicode standard tables them (D92).
      const unsigned char lead = s[i];
      std::size_t size = 0;
      if (lead >= 0xC2 && lead <= 0xDF) {
        size = i + 1 < n && (s[i + 1] & 0xC0) == 0x80 ? 2 : 0;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80, hi = lead == 0xED ? 0x9F : 0xBF;
        size = i + 2 < n && s[i + 1] >= lo && s[i + 1] <= hi && (s[i + 2] & 0xC0) == 0x80 ? 3 : 0;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80, hi = lead == 0xF4 ? 0x8F : 0xBF;
        size = i + 3 < n && s[i + 1] >= lo && s[i + 1] <= hi && (s[i + 2] & 0xC0) == 0x80 &&
                       (s[i + 3] & 0xC0) == 0x80
                   ? 4
                   : 0;
      }
      if (size == 0) return i;  // ill-formed: the caller says so
      i += size;
    }
    return i;
  }

  // --- Building the records ---

  void put(Record&& value) {
    charge(kValueBytes);
    if (frames_.empty()) {
      root_ = std::move(value);
    } else if (frames_.back().object) {
      members_.back().value = std::move(value);
    } else {
      elements_.push_back(std::move(value));
    }
  }

  std::string_view key_of(const Member& member) const {
    return (member.decoded ? std::string_view(decoded_keys_) : text_)
        .substr(member.key_offset, member.key_size);
  }

  // Ends the innermost container and puts it in place.
  void close() {
    const Frame frame = frames_.back();
    frames_.pop_back();
    Record container;
    if (frame.object) {
      container = Record::object();
      const std::size_t count = members_.size() - frame.begin;
      std::vector<char> dropped = merge_duplicates(frame.begin, count);
      auto& map = container.get_ref<Record::object_t&>();
      map.reserve(count - static_cast<std::size_t>(std::count(dropped.begin(), dropped.end(), 1)));
      for (std::size_t i = 0; i < count; ++i) {
        if (!dropped.empty() && dropped[i]) continue;
        Member& member = members_[frame.begin + i];
        map.emplace_back(std::string(key_of(member)), std::move(member.value));
      }
      members_.resize(frame.begin);
    } else {
      container = Record::array();
      auto& array = container.get_ref<Record::array_t&>();
      const auto first = elements_.begin() + static_cast<std::ptrdiff_t>(frame.begin);
      array.reserve(static_cast<std::size_t>(elements_.end() - first));
      array.insert(array.end(), std::make_move_iterator(first),
                   std::make_move_iterator(elements_.end()));
      elements_.erase(first, elements_.end());
    }
    put(std::move(container));
  }

  void charge(std::uint64_t bytes) {
    spent_ += bytes;
    if (limits_.max_record_bytes != 0 && spent_ > limits_.max_record_bytes)
      throw JsonTextError(std::string_view::npos,
                          "JSON whose records would take more than " +
                              std::to_string(limits_.max_record_bytes) + " bytes of memory",
                          JsonTextError::Kind::kTooLarge);
  }

  // Marks the members after the first of each key as dropped, the first
  // taking the value of the last, as the library's reader does. Empty when
  // no key repeats.
  std::vector<char> merge_duplicates(std::size_t begin, std::size_t count) {
    std::vector<char> dropped;
    if (count < 2) return dropped;
    auto key = [&](std::size_t i) { return key_of(members_[begin + i]); };
    auto keep_last_value = [&](std::size_t first, std::size_t later) {
      if (dropped.empty()) dropped.assign(count, 0);
      members_[begin + first].value = std::move(members_[begin + later].value);
      dropped[later] = 1;
    };
    if (count <= 8) {
      for (std::size_t i = 1; i < count; ++i)
        for (std::size_t j = 0; j < i; ++j)
          if (!(dropped.size() > j && dropped[j]) && key(j) == key(i)) {
            keep_last_value(j, i);
            break;
          }
      return dropped;
    }
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < count; ++i) {
      std::size_t first = i - 1;
      while (i < count && key(order[i]) == key(order[first]))
        keep_last_value(order[first], order[i++]);
    }
    return dropped;
  }

  std::string_view text_;
  const JsonLimits& limits_;
  std::size_t pos_ = 0;
  Record root_;
  std::vector<Frame>& frames_;
  std::vector<Member>& members_;   // of every open object, innermost last
  std::vector<Record>& elements_;  // of every open array, innermost last
  std::string& decoded_;
  std::string& decoded_keys_;
  std::uint64_t spent_ = 0;
};

}  // namespace

Record read_json_text(std::string_view text, const JsonLimits& limits) {
  // A NUL is looked for first and apart (memchr is many times faster than
  // reading): wherever it stands, it is what is reported.
  if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
    const auto byte = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
    throw JsonTextError(byte, "not valid JSON at column " + std::to_string(column_at(text, byte)) +
                                  ": a NUL byte, which JSON allows only escaped, as \\u0000 "
                                  "inside a string");
  }
  return Reader(text, limits).read();
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
