#include "kelvra/common/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace kelvra::common {

namespace {

// What a byte needs inside a JSON string: 0 nothing, 1 an escape, 2 a look
// at the bytes after it (0xE2 starts U+2028 and U+2029, 0xC2 starts U+0085).
constexpr std::array<std::uint8_t, 256> kEscapeClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 1;
  table['"'] = 1;
  table['\\'] = 1;
  table[0xE2] = 2;
  table[0xC2] = 2;
  return table;
}();

constexpr std::size_t kSpillBytes = std::size_t{1} << 18;
// A long string is escaped in pieces of this many bytes, so that the buffer
// can be handed on between them.
constexpr std::size_t kStringPiece = std::size_t{1} << 20;

// `text` escaped, appended to `out`; U+0085, U+2028 and U+2029 kept as
// they are when `keep_line_separators`.
void append_escaped(std::string& out, std::string_view text, bool keep_line_separators = false) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char b = bytes[i];
    const std::uint8_t kind = kEscapeClass[b];
    if (kind == 0 || (kind == 2 && keep_line_separators)) continue;
    if (kind == 2) {
      // C2 85 is U+0085, E2 80 A8 and E2 80 A9 are U+2028 and U+2029; valid
      // text has the bytes after a lead byte.
      const char* escape = nullptr;
      std::size_t sequence = 0;
      if (b == 0xC2 && i + 1 < size && bytes[i + 1] == 0x85) {
        escape = "\\u0085";
        sequence = 2;
      } else if (b == 0xE2 && i + 2 < size && bytes[i + 1] == 0x80 &&
                 (bytes[i + 2] & 0xFE) == 0xA8) {
        escape = bytes[i + 2] == 0xA8 ? "\\u2028" : "\\u2029";
        sequence = 3;
      }
      if (escape == nullptr) continue;
      out.append(text.data() + run, i - run);
      out.append(escape);
      i += sequence - 1;
      run = i + 1;
      continue;
    }
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (b) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(text.data() + run, size - run);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text);
  out.push_back('"');
}

void JsonWriter::spill_if_large() {
  if (spill_ != nullptr) {
    if (out_.size() >= kSpillBytes) spill_->spill();
  } else if (limit_ != 0 && out_.size() > limit_) {
    throw JsonOverflow();
  }
}

void JsonWriter::append_text(std::string_view text) {
  out_.push_back('"');
  append_escaped(out_, text, keep_line_separators_);
  out_.push_back('"');
}

void JsonWriter::key(std::string_view name) {
  separate();
  append_text(name);
  out_.push_back(':');
  first_ = true;  // the value that follows takes no comma
}

void JsonWriter::string(std::string_view text) {
  separate();
  if (spill_ == nullptr || text.size() <= kStringPiece) {
    append_text(text);
    return;
  }
  out_.push_back('"');
  while (!text.empty()) {
    std::size_t cut = std::min(text.size(), kStringPiece);
    // Cut before a code point, never inside one.
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    append_escaped(out_, text.substr(0, cut), keep_line_separators_);
    text.remove_prefix(cut);
    spill_if_large();
  }
  out_.push_back('"');
}

void JsonWriter::integer(std::int64_t value) {
  separate();
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
}

void JsonWriter::real(double value) {
  separate();
  // Reals are rare on the hot paths; the record library's own formatting
  // keeps them exactly as a dumped record shows them.
  out_.append(Record(value).dump());
}

void JsonWriter::boolean(bool value) {
  separate();
  out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
  separate();
  out_.append("null");
}

void JsonWriter::value(const Record& value) {
  switch (value.type()) {
    case Record::value_t::object:
      begin_object();
      for (auto it = value.begin(); it != value.end(); ++it) {
        key(it.key());
        this->value(*it);
      }
      end_object();
      break;
    case Record::value_t::array:
      begin_array();
      for (const auto& item : value) this->value(item);
      end_array();
      break;
    case Record::value_t::string:
      string(value.get_ref<const std::string&>());
      break;
    case Record::value_t::number_integer:
      integer(value.get<std::int64_t>());
      break;
    case Record::value_t::number_unsigned: {
      separate();
      char digits[24];
      auto end = std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>()).ptr;
      out_.append(digits, end);
      break;
    }
    case Record::value_t::number_float:
      real(value.get<double>());
      break;
    case Record::value_t::boolean:
      boolean(value.get<bool>());
      break;
    default:  // null, and the binary and discarded kinds, which a parsed record never holds
      separate();
      out_.append(value.dump());
      break;
  }
  spill_if_large();
}

void JsonWriter::end_line() {
  out_.push_back('\n');
  first_ = true;
  spill_if_large();
}

}  // namespace kelvra::common
