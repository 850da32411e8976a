// UTF-8 validation, decoding and encoding, shared by every module.
//
// Text enters the toolkit as UTF-8 and every position counts code points.
// Text is validated once at the boundary (require_valid / decode); the
// inline walkers below then assume valid input and never check again.
//
//   kelvra::common::utf8::require_valid(text, "text");
//   for (std::size_t pos = 0; pos < text.size();) {
//     char32_t cp = kelvra::common::utf8::next(text, pos);
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra::common::utf8 {

inline constexpr std::size_t npos = std::string_view::npos;

// Byte offset of the first byte that does not start a well-formed UTF-8
// sequence (overlong forms, surrogates and code points above U+10FFFF are
// ill-formed), or npos when the whole text is valid.
std::size_t find_invalid(std::string_view text) noexcept;

inline bool is_valid(std::string_view text) noexcept { return find_invalid(text) == npos; }

// Throws TypeError naming `parameter` (and the byte offset) when `text` is
// not valid UTF-8.
void require_valid(std::string_view text, std::string_view parameter);
// What require_valid throws for text whose first bad byte is at `bad`.
[[noreturn]] void throw_invalid(std::size_t bad, std::string_view parameter);

// Validates `text` as require_valid does, then returns its code points.
std::u32string decode(std::string_view text, std::string_view parameter);

// Number of code points of valid UTF-8 text.
std::size_t length(std::string_view text) noexcept;

// Number of bytes of the UTF-8 form of `cp`.
inline constexpr std::size_t encoded_size(char32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Appends the UTF-8 form of `cp` (a Unicode scalar value) to `out`.
void append(std::string& out, char32_t cp);

std::string encode(std::u32string_view code_points);

// The code point that starts at byte `pos` of valid UTF-8 text; advances
// `pos` past it. Always inlined: it is the step of every scan over text.
[[gnu::always_inline]] inline char32_t next(std::string_view text, std::size_t& pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  unsigned char b0 = p[0];
  if (b0 < 0x80) {
    pos += 1;
    return b0;
  }
  if (b0 < 0xE0) {
    pos += 2;
    return (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (b0 < 0xF0) {
    pos += 3;
    return (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  pos += 4;
  return (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
         (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Byte length of the sequence that starts with lead byte `b` (valid text).
inline constexpr std::size_t sequence_size(unsigned char b) noexcept {
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// Byte offset reached from byte `pos` after `count` code points of valid
// text, stopping at the end of the text.
std::size_t advance(std::string_view text, std::size_t pos, std::size_t count) noexcept;

// The slice of valid text from code point `offset`, `count` code points long
// (clipped at the end of the text).
std::string_view substr(std::string_view text, std::size_t offset, std::size_t count) noexcept;

}  // namespace kelvra::common::utf8
