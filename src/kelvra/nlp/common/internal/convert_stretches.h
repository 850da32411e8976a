// Converting text with a converter that reads its input as a C string.
//
// OpenCC's Convert stops at the first NUL character, so converting a whole
// text that holds one silently drops everything after it. convert_stretches
// hands the converter only the stretches between such characters and keeps
// each of them where it stood:
//
//   std::string out = internal::convert_stretches(text, [&](std::string_view stretch) {
//     return converter.Convert(stretch.data(), stretch.size());
//   });
//
// Each stretch is converted as a whole, so phrases inside it convert as
// phrases. Text without such characters is converted in one call.
#pragma once

#include <string>
#include <string_view>

namespace kelvra::nlp::common::internal {

// The character such a converter cannot carry. Over every code point, NUL
// is the only one that OpenCC's t2s conversion does not give back.
inline constexpr char kUncarried = '\0';

// `convert(stretch)` for every non-empty stretch of `text` between
// uncarried characters, joined with those characters in their places.
// Whatever `convert` throws passes through.
template <class Convert>
std::string convert_stretches(std::string_view text, Convert&& convert) {
  std::size_t stop = text.find(kUncarried);
  if (stop == std::string_view::npos) return convert(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t begin = 0;;) {
    const std::size_t end = stop == std::string_view::npos ? text.size() : stop;
    if (end > begin) out += convert(text.substr(begin, end - begin));
    if (stop == std::string_view::npos) return out;
    out.push_back(kUncarried);
    begin = stop + 1;
    stop = text.find(kUncarried, begin);
  }
}

}  // namespace kelvra::nlp::common::internal
