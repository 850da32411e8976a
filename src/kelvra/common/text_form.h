// The record text form: how records and their values print as text, in the
// notation Python uses for its own maps, lists and strings.
//
//   to_text_form(Record{{"text", "Ａ"}, {"offset", 4}})  // {'text': 'Ａ', 'offset': 4}
//
// Maps print as {'key': value, ...} in key order, lists as [a, b], truth
// values as True/False, null as None, integers in decimal and reals as
// Python prints them (3.0, 1e-05, 1e+16, nan, inf). Strings print between
// single quotes, or between double quotes when they hold a single quote and
// no double quote. Inside, a backslash precedes a backslash and the
// enclosing quote; tab, line feed and carriage return print as \t \n \r;
// other non-printable code points (general categories Cc, Cf, Cs, Co, Cn,
// Zs, Zl, Zp, except the blank U+0020) print as \xNN, \uNNNN or \UNNNNNNNN,
// the shortest that holds them, with lower-case hex digits.
#pragma once

#include <string>
#include <string_view>

#include "kelvra/common/record.h"

namespace kelvra::common {

// The text form of a string (valid UTF-8), quotes included.
std::string quote_text(std::string_view text);

// The text form of any record value. A value nested deeper than
// kMaxRecordDepth (record.h) throws KvException(INVALID_PARAMETERS) instead
// of running out of stack; `out` of the appending form then holds a part.
std::string to_text_form(const Record& value);

// Appending forms, for building larger texts without copies.
void append_quoted_text(std::string& out, std::string_view text);
void append_text_form(std::string& out, const Record& value);

// True when the code point prints as itself in a quoted string.
bool is_printable(char32_t cp) noexcept;

}  // namespace kelvra::common
