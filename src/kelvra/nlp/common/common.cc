#include "kelvra/nlp/common/common.h"

#include <algorithm>

#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common {

namespace utf8 = kelvra::common::utf8;

char32_t q2b(char32_t cp) noexcept {
  if (cp >= 0xFF01 && cp <= 0xFF5E) return cp - 0xFEE0;
  if (cp == 0x3000) return U' ';
  return cp;
}

bool is_control_char(char32_t cp) noexcept {
  if (cp < 0x80) return (cp < 0x20 && cp != U'\t' && cp != U'\n' && cp != U'\r') || cp == 0x7F;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

std::string Q2B(std::string_view value) {
  utf8::require_valid(value, "value");
  std::string out;
  out.reserve(value.size());
  for (std::size_t pos = 0; pos < value.size();) utf8::append(out, q2b(utf8::next(value, pos)));
  return out;
}

std::string replace_ctrl_char(std::string_view ch, const ValidChrList& validChrList) {
  utf8::require_valid(ch, "ch");
  std::size_t pos = 0;
  char32_t cp = ch.empty() ? 0 : utf8::next(ch, pos);
  if (ch.empty() || pos != ch.size())
    throw kelvra::common::TypeError(
        "ch", "ch must be exactly one character, got " + std::to_string(utf8::length(ch)));
  if (!is_control_char(cp) ||
      std::find(validChrList.begin(), validChrList.end(), ch) != validChrList.end())
    return std::string(ch);
  return " ";
}

}  // namespace kelvra::nlp::common
