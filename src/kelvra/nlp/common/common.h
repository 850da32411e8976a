// Character functions of the package root: full-width to half-width, and
// control characters to blanks. The normaliser applies them position by
// position; they are usable on their own.
//
//   Q2B("ＡＢＣ　１２３")                       // "ABC 123"
//   replace_ctrl_char("\x07", {})              // " "
//   replace_ctrl_char("\u200b", {"\u200b"})    // "\u200b": listed, so kept
//
// Q2B maps each full-width ASCII variant U+FF01..U+FF5E to U+0021..U+007E
// and the ideographic space U+3000 to the blank U+0020; every other code
// point is unchanged (half-width katakana, full-width currency signs and
// the like are left alone).
//
// A control character is a code point of the Unicode general categories Cc
// (C0 and C1 controls, DEL) or Cf (format characters such as the zero-width
// space, soft hyphen and byte order mark), or the line separator U+2028 or
// paragraph separator U+2029; tab, line feed and carriage return are not
// control characters here, since they shape text. Categories come from
// utf8proc's tables.
//
// validChrList is a list of strings, one character (one code point) each:
// the characters the caller wants kept even though they are control
// characters. Entries of other lengths never match a character and are
// harmless.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvra::nlp::common {

using ValidChrList = std::vector<std::string>;

// The half-width form of `value` (any number of code points): each code
// point mapped as described above. TypeError naming `value` when it is not
// valid UTF-8.
std::string Q2B(std::string_view value);

// The value for one position of a text: `ch` itself when it is listed in
// `validChrList` or is not a control character, one blank otherwise (one
// code point for one, so positions stay aligned). TypeError naming `ch`
// when it is not valid UTF-8 or not exactly one code point.
std::string replace_ctrl_char(std::string_view ch, const ValidChrList& validChrList);

// The same rules on code points, for callers that walk decoded text.
char32_t q2b(char32_t cp) noexcept;
bool is_control_char(char32_t cp) noexcept;

}  // namespace kelvra::nlp::common
