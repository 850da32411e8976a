#include "kelvra/common/utf8.h"

#include <cstring>

#include "kelvra/common/exceptions.h"

namespace kelvra::common::utf8 {

std::size_t find_invalid(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b0 = s[i];
    if (b0 < 0x80) {
      // Skip ASCII eight bytes at a time: most text is mostly ASCII or long
      // runs of it. Only after an ASCII byte, so that text without any (CJK)
      // does not pay for a failed test at every character.
      ++i;
      while (i + 8 <= n) {
        std::uint64_t chunk;
        std::memcpy(&chunk, s + i, 8);
        if ((chunk & 0x8080808080808080ULL) != 0) break;
        i += 8;
      }
      continue;
    }
    // Well-formed sequences as tabled in the Unicode standard (D92). Runs
    // of three-byte sequences led by E1..EC or EE..EF (most of the basic
    // plane, Chinese among it), whose second byte may be any continuation
    // byte, are taken in a loop of their own: such text needs no other test.
    while (i + 3 <= n && ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF)) {
      if (((s[i + 1] & 0xC0) != 0x80) | ((s[i + 2] & 0xC0) != 0x80)) return i;
      i += 3;
      if (i == n) return npos;
      b0 = s[i];
    }
    if (b0 < 0x80) continue;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (i + 1 >= n || (s[i + 1] & 0xC0) != 0x80) return i;
      i += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (i + 2 >= n) return i;
      unsigned char b1 = s[i + 1];
      unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
      unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
      if (b1 < lo || b1 > hi || (s[i + 2] & 0xC0) != 0x80) return i;
      i += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (i + 3 >= n) return i;
      unsigned char b1 = s[i + 1];
      unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
      unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
      if (b1 < lo || b1 > hi || (s[i + 2] & 0xC0) != 0x80 || (s[i + 3] & 0xC0) != 0x80) return i;
      i += 4;
    } else {
      return i;
    }
  }
  return npos;
}

void require_valid(std::string_view text, std::string_view parameter) {
  std::size_t bad = find_invalid(text);
  if (bad != npos) throw_invalid(bad, parameter);
}

void throw_invalid(std::size_t bad, std::string_view parameter) {
  throw TypeError(std::string(parameter), "parameter `" + std::string(parameter) +
                                              "` is not valid UTF-8 text (bad byte at offset " +
                                              std::to_string(bad) + ")");
}

std::u32string decode(std::string_view text, std::string_view parameter) {
  require_valid(text, parameter);
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) out.push_back(next(text, pos));
  return out;
}

std::size_t length(std::string_view text) noexcept {
  // Every code point has exactly one byte that is not a continuation byte.
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string encode(std::u32string_view code_points) {
  std::string out;
  out.reserve(code_points.size() * 3);
  for (char32_t cp : code_points) append(out, cp);
  return out;
}

std::size_t advance(std::string_view text, std::size_t pos, std::size_t count) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  while (count > 0 && pos < text.size()) {
    pos += sequence_size(s[pos]);
    --count;
  }
  return pos < text.size() ? pos : text.size();
}

std::string_view substr(std::string_view text, std::size_t offset, std::size_t count) noexcept {
  std::size_t begin = advance(text, 0, offset);
  std::size_t end = advance(text, begin, count);
  return text.substr(begin, end - begin);
}

}  // namespace kelvra::common::utf8
