// Reading the translator's data files (the dictionary, the Mandarin word
// list, the rules): their lines, white space as the dictionary's format
// trims it, and the shared "t2s" conversion that every word and text goes
// through. Internal to the cantonese module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::lang::internal {

// The conversion of valid UTF-8 `text` by the "t2s" converter that every
// translator shares (made on first use, kept for the life of the process).
std::string simplified(std::string_view text);

// The same as code points.
std::u32string simplified_code_points(std::string_view text);

// The simplified form of `joined`: texts, each followed by a line feed and
// holding none, converted in one pass (no conversion phrase holds a line
// feed) rather than thousands of small ones.
std::string simplified_lines(const std::string& joined);

// Simplified characters of `text`, one code point for each of its code
// points, so that positions in both agree.
std::string simplified_view(std::string_view text);

// The lines of `text`, each ended by a line feed, as views into it.
std::vector<std::string_view> lines_of(std::string_view text);

// White space as Python's str.strip() sees it: the ASCII controls 9-13 and
// 28-31, the blank, U+0085, and the separator categories.
bool is_space(char32_t cp);

// `text` without white space at either end.
std::string_view trim(std::string_view text);

// The fields of `text` between `separator`s; consecutive separators give
// empty fields, and a text without one is one field.
std::vector<std::string_view> split(std::string_view text, char separator);

// The characters the translator tells apart: Chinese characters, numerals
// and digits, and the code points after which a sentence ends.
bool is_han(char32_t cp);
bool is_number(char32_t cp);
bool ends_sentence(char32_t cp);

// Calls `visit(line, number)` for each line of the data file `content`, as
// it stands (not trimmed), numbered from 1; LF, CRLF and CR end a line, and
// a byte order mark at the very start is dropped. FileError naming `path`
// and the line when a line is not valid UTF-8.
template <typename Visit>
void for_each_data_line(const std::string& path, std::string_view content, Visit visit) {
  namespace text_input = kelvra::common::text_input;
  namespace utf8 = kelvra::common::utf8;
  content = text_input::without_byte_order_mark(content);
  // Lines end at ASCII bytes: in a valid file every line is valid, and only
  // a bad file is checked line by line to name the line.
  const bool valid = utf8::is_valid(content);
  text_input::for_each_line(
      content, text_input::LineEnd::kAny, [&](std::string_view line, std::int64_t number) {
        if (std::size_t bad = valid ? utf8::npos : utf8::find_invalid(line); bad != utf8::npos)
          throw kelvra::common::FileError(
              path, "not valid UTF-8 at byte " + std::to_string(bad) + " of the line", number);
        visit(line, number);
      });
}

}  // namespace kelvra::nlp::common::lang::internal
