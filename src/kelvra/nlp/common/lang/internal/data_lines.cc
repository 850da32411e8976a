#include "kelvra/nlp/common/lang/internal/data_lines.h"

#include <algorithm>

#include <utf8proc.h>

#include "kelvra/nlp/common/internal/converter.h"

namespace kelvra::nlp::common::lang::internal {

namespace utf8 = kelvra::common::utf8;
namespace text_input = kelvra::common::text_input;

namespace {

// One converter for all translators, built on first use and kept for the
// life of the process: never destroyed, so that exit does not spend its
// time freeing OpenCC's dictionaries, and a thread still translating while
// the process exits never meets a destroyed converter.
const common::internal::Converter& converter() {
  static const common::internal::Converter* const instance = new common::internal::Converter("t2s");
  return *instance;
}

}  // namespace

std::string simplified(std::string_view text) { return converter().convert(text); }

std::u32string simplified_code_points(std::string_view text) {
  return utf8::decode(simplified(text), "text");
}

std::string simplified_lines(const std::string& joined) {
  std::string converted = simplified(joined);
  if (std::count(converted.begin(), converted.end(), '\n') ==
          std::count(joined.begin(), joined.end(), '\n') &&
      (converted.empty() || converted.back() == '\n'))
    return converted;
  // Should the converter not keep the line feeds where they were, each text
  // is converted alone.
  converted.clear();
  text_input::for_each_line(joined, text_input::LineEnd::kLineFeed,
                            [&](std::string_view line, std::int64_t) {
                              converted += simplified(line);
                              converted += '\n';
                            });
  return converted;
}

std::string simplified_view(std::string_view text) {
  // OpenCC's t2s keeps the number of code points; should a converter not,
  // each code point is converted alone, and one that would become more or
  // less than one code point stays as it is.
  std::string view = simplified(text);
  if (utf8::length(view) == utf8::length(text)) return view;
  view.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    utf8::next(text, pos);
    const std::string_view original = text.substr(begin, pos - begin);
    const std::string converted = simplified(original);
    view += utf8::is_valid(converted) && utf8::length(converted) == 1 ? std::string_view(converted)
                                                                      : original;
  }
  return view;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  text_input::for_each_line(text, text_input::LineEnd::kLineFeed,
                            [&](std::string_view line, std::int64_t) { lines.push_back(line); });
  return lines;
}

bool is_space(char32_t cp) {
  if (cp < 0x80) return (cp >= 9 && cp <= 13) || (cp >= 28 && cp <= 32);
  if (cp == 0x85) return true;
  // No separator lies beyond the ideographic space: CJK text never needs
  // the category lookup.
  if (cp > 0x3000) return false;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t pos = begin;
    if (!is_space(utf8::next(text, pos))) break;
    begin = pos;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    if (!is_space(utf8::next(text, pos))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool is_han(char32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x3134F);
}

bool is_number(char32_t cp) {
  if (cp < 0x3007) return (cp >= U'0' && cp <= U'9');
  if (cp >= U'０' && cp <= U'９') return true;
  static constexpr std::u32string_view kNumerals = U"〇零一二三四五六七八九十百千万两几";
  return kNumerals.find(cp) != std::u32string_view::npos;
}

bool ends_sentence(char32_t cp) {
  if (cp >= 0x3400 && cp <= 0x9FFF) return false;  // Chinese characters, most of a text
  static constexpr std::u32string_view kEnds = U"。！？!?…．\n\r";
  return kEnds.find(cp) != std::u32string_view::npos;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  for (std::size_t pos = 0;;) {
    const std::size_t end = text.find(separator, pos);
    fields.push_back(
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) return fields;
    pos = end + 1;
  }
}

}  // namespace kelvra::nlp::common::lang::internal
