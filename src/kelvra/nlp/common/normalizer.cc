#include "kelvra/nlp/common/normalizer.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/converter.h"

namespace kelvra::nlp::common::normalizer {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;

AlterWord::AlterWord(std::string text_, std::string normalized_text_, std::int64_t offset_)
    : text(std::move(text_)), normalized_text(std::move(normalized_text_)), offset(offset_) {
  utf8::require_valid(this->text, "text");
  utf8::require_valid(this->normalized_text, "normalized_text");
}

Record AlterWord::to_json() const {
  return kelvra::common::build_record(
      [&](auto& out) { alter_word_members(out, text, normalized_text, offset); });
}

AlterWord AlterWord::from_json(const Record& json) {
  require_map(json, "json");
  std::string text = require_string(kelvra::common::at(json, "text", "json"), "text");
  std::string normalized =
      require_string(kelvra::common::at(json, "normalized_text", "json"), "normalized_text");
  std::int64_t offset = require_integer(kelvra::common::at(json, "offset", "json"), "offset");
  return AlterWord(std::move(text), std::move(normalized), offset);
}

std::string AlterWord::to_string() const { return kelvra::common::to_text_form(to_json()); }

Text::Text(std::string text_, std::string normalized_text_, std::vector<AlterWord> alter_words_)
    : text(std::move(text_)),
      normalized_text(std::move(normalized_text_)),
      alter_words(std::move(alter_words_)) {
  utf8::require_valid(this->text, "text");
  utf8::require_valid(this->normalized_text, "normalized_text");
}

Record Text::to_json() const {
  Record words = nullptr;
  if (alter_words) {
    words = Record::array();
    for (const auto& word : *alter_words) words.push_back(word.to_json());
  }
  return kelvra::common::build_record(
      [&](auto& out) { text_members(out, text, normalized_text, std::move(words)); });
}

Text Text::from_json(const Record& json) {
  require_map(json, "json");
  std::string text = require_string(kelvra::common::at(json, "text", "json"), "text");
  std::string normalized =
      require_string(kelvra::common::at(json, "normalized_text", "json"), "normalized_text");
  const Record& list = kelvra::common::at(json, "alter_words", "json");
  std::vector<AlterWord> words;
  if (!list.is_null()) {
    for (const auto& item : require_list(list, "alter_words"))
      words.push_back(AlterWord::from_json(item));
  }
  Text result(std::move(text), std::move(normalized), std::move(words));
  if (list.is_null()) result.alter_words.reset();
  return result;
}

std::string Text::to_string() const { return kelvra::common::to_text_form(to_json()); }

std::ostream& operator<<(std::ostream& os, const AlterWord& word) { return os << word.to_string(); }
std::ostream& operator<<(std::ostream& os, const Text& text) { return os << text.to_string(); }

// The replacement and half-width steps on one code point: the same rules
// as replace_ctrl_char and Q2B, without building strings.
struct Steps {
  bool is_q2b;
  bool is_replace;
  const std::vector<char32_t>& valid;  // kept control characters, sorted

  char32_t operator()(char32_t cp) const {
    if (is_replace && is_control_char(cp) && !std::binary_search(valid.begin(), valid.end(), cp))
      cp = U' ';
    if (is_q2b) cp = q2b(cp);
    return cp;
  }
};

struct Normalizer::Impl {
  explicit Impl(const std::string& config) : cc(config) {}

  std::string convert(std::string_view text) const { return cc.convert(text); }

  // Conversions of single code points, for texts whose conversion changed
  // their length; made once per distinct code point of one call.
  using PieceCache = std::unordered_map<char32_t, std::string>;

  // The final value of the position holding `input_char`, converted alone.
  void value_alone(std::string_view input_char, const Steps& steps, PieceCache& cache,
                   std::string& value) const {
    std::size_t pos = 0;
    auto [it, fresh] = cache.try_emplace(utf8::next(input_char, pos));
    if (fresh) it->second = convert(input_char);
    const std::string& piece = it->second;
    value.clear();
    for (pos = 0; pos < piece.size();) utf8::append(value, steps(utf8::next(piece, pos)));
  }

  // The normalised text of (valid) `text`. `per_position` tells whether the
  // converter changed the text's length, so that each position was
  // converted alone (see the header).
  std::string normalized(std::string_view text, const Steps& steps, bool is_to_zhs,
                         bool& per_position, PieceCache& cache) const {
    std::string converted;
    per_position = false;
    if (is_to_zhs && !text.empty()) {
      converted = convert(text);
      per_position = utf8::length(converted) != utf8::length(text);
    }
    std::string out;
    out.reserve(text.size());
    if (!per_position) {
      const std::string_view source = is_to_zhs ? std::string_view(converted) : text;
      for (std::size_t pos = 0; pos < source.size();)
        utf8::append(out, steps(utf8::next(source, pos)));
      return out;
    }
    kelvra::common::free_memory(converted);
    std::string value;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t begin = pos;
      utf8::next(text, pos);
      value_alone(text.substr(begin, pos - begin), steps, cache, value);
      out += value;
    }
    return out;
  }

  // Calls `visit` for each position of `text` whose final value differs
  // from its input character, in order. A second walk, so that the changes
  // are never held: position by position against `normalized` when the
  // converter kept the length (each position is then one code point of
  // it), else with the conversions of single code points made by the
  // first walk.
  void for_each_change(std::string_view text, std::string_view normalized, const Steps& steps,
                       bool per_position, PieceCache& cache,
                       const Normalizer::ChangeVisitor& visit) const {
    std::string value;
    std::size_t out_pos = 0;
    for (std::size_t pos = 0, index = 0; pos < text.size(); ++index) {
      const std::size_t begin = pos;
      const char32_t in_cp = utf8::next(text, pos);
      const std::string_view input_char = text.substr(begin, pos - begin);
      if (!per_position) {
        const std::size_t out_begin = out_pos;
        if (utf8::next(normalized, out_pos) != in_cp)
          visit(input_char, normalized.substr(out_begin, out_pos - out_begin),
                static_cast<std::int64_t>(index));
        continue;
      }
      value_alone(input_char, steps, cache, value);
      if (value != input_char) visit(input_char, value, static_cast<std::int64_t>(index));
    }
  }

  const internal::Converter cc;
  // Single code points of validChrList, sorted; the rest can never match.
  std::vector<char32_t> valid;
};

std::string Normalizer::convert(std::string_view text) const {
  kelvra::common::utf8::require_valid(text, "text");
  return impl_->cc.convert(text);
}

Normalizer::Normalizer(ValidChrList validChrList, const std::string& config)
    : validChrList_(std::move(validChrList)), impl_(std::make_unique<Impl>(config)) {
  for (const auto& entry : validChrList_) {
    if (!utf8::is_valid(entry) || utf8::length(entry) != 1) continue;
    std::size_t pos = 0;
    impl_->valid.push_back(utf8::next(entry, pos));
  }
  std::sort(impl_->valid.begin(), impl_->valid.end());
}

Normalizer::~Normalizer() = default;
Normalizer::Normalizer(Normalizer&&) noexcept = default;
Normalizer& Normalizer::operator=(Normalizer&&) noexcept = default;

Text Normalizer::normalize(std::string_view text, bool is_q2b, bool is_replace,
                           bool is_to_zhs) const {
  utf8::require_valid(text, "text");
  const Steps steps{is_q2b, is_replace, impl_->valid};
  Impl::PieceCache cache;
  bool per_position = false;
  std::string normalized = impl_->normalized(text, steps, is_to_zhs, per_position, cache);
  std::vector<AlterWord> changes;
  impl_->for_each_change(
      text, normalized, steps, per_position, cache,
      [&](std::string_view input_char, std::string_view value, std::int64_t offset) {
        changes.emplace_back(std::string(input_char), std::string(value), offset);
      });
  return Text(std::string(text), std::move(normalized), std::move(changes));
}

void Normalizer::normalize(std::string_view text, const TextVisitor& on_text,
                           const ChangeVisitor& on_change, bool is_q2b, bool is_replace,
                           bool is_to_zhs) const {
  utf8::require_valid(text, "text");
  const Steps steps{is_q2b, is_replace, impl_->valid};
  Impl::PieceCache cache;
  bool per_position = false;
  const std::string normalized = impl_->normalized(text, steps, is_to_zhs, per_position, cache);
  on_text(normalized);
  impl_->for_each_change(text, normalized, steps, per_position, cache, on_change);
}

}  // namespace kelvra::nlp::common::normalizer
