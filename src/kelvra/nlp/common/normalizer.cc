#include "kelvra/nlp/common/normalizer.h"

#include <algorithm>
#include <exception>
#include <unordered_map>
#include <utility>

#include <opencc/Exception.hpp>
#include <opencc/SimpleConverter.hpp>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/convert_stretches.h"

namespace kelvra::nlp::common::normalizer {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::ErrorCodes;
using kelvra::common::FileError;
using kelvra::common::KvException;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;

AlterWord::AlterWord(std::string text, std::string normalized_text, std::int64_t offset)
    : text(std::move(text)), normalized_text(std::move(normalized_text)), offset(offset) {
  utf8::require_valid(this->text, "text");
  utf8::require_valid(this->normalized_text, "normalized_text");
}

Record AlterWord::to_json() const {
  return Record{{"text", text}, {"normalized_text", normalized_text}, {"offset", offset}};
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

Text::Text(std::string text, std::string normalized_text, std::vector<AlterWord> alter_words)
    : text(std::move(text)),
      normalized_text(std::move(normalized_text)),
      alter_words(std::move(alter_words)) {
  utf8::require_valid(this->text, "text");
  utf8::require_valid(this->normalized_text, "normalized_text");
}

Record Text::to_json() const {
  Record words = nullptr;
  if (alter_words) {
    words = Record::array();
    for (const auto& word : *alter_words) words.push_back(word.to_json());
  }
  return Record{{"text", text}, {"normalized_text", normalized_text}, {"alter_words", words}};
}

Text Text::from_json(const Record& json) {
  require_map(json, "json");
  std::string text = require_string(kelvra::common::at(json, "text", "json"), "text");
  std::string normalized =
      require_string(kelvra::common::at(json, "normalized_text", "json"), "normalized_text");
  const Record& list = kelvra::common::at(json, "alter_words", "json");
  std::vector<AlterWord> words;
  if (!list.is_null()) {
    for (const auto& item : require_list(list, "alter_words")) words.push_back(AlterWord::from_json(item));
  }
  Text result(std::move(text), std::move(normalized), std::move(words));
  if (list.is_null()) result.alter_words.reset();
  return result;
}

std::string Text::to_string() const { return kelvra::common::to_text_form(to_json()); }

std::ostream& operator<<(std::ostream& os, const AlterWord& word) { return os << word.to_string(); }
std::ostream& operator<<(std::ostream& os, const Text& text) { return os << text.to_string(); }

struct Normalizer::Impl {
  explicit Impl(const std::string& config) : cc(make_converter(config)) {}

  static std::unique_ptr<opencc::SimpleConverter> make_converter(const std::string& config) {
    // OpenCC reports a missing or broken configuration with its own
    // exception type, or with std::runtime_error, depending on where it
    // fails.
    try {
      return std::make_unique<opencc::SimpleConverter>(config);
    } catch (const opencc::Exception& e) {
      throw FileError(config, std::string("cannot build the OpenCC converter: ") + e.what());
    } catch (const std::exception& e) {
      throw FileError(config, std::string("cannot build the OpenCC converter: ") + e.what());
    }
  }

  std::string convert(std::string_view text) const {
    try {
      return internal::convert_stretches(
          text, [this](std::string_view stretch) { return cc->Convert(stretch.data(), stretch.size()); });
    } catch (const opencc::Exception& e) {
      throw KvException(ErrorCodes::INTERNAL_ERROR, std::string("OpenCC conversion failed: ") + e.what());
    }
  }

  std::unique_ptr<const opencc::SimpleConverter> cc;
  // Single code points of validChrList, sorted; the rest can never match.
  std::vector<char32_t> valid;
};

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
  const std::vector<char32_t>& valid = impl_->valid;
  // The replacement and half-width steps on one code point: the same rules
  // as replace_ctrl_char and Q2B, without building strings.
  auto steps = [&](char32_t cp) {
    if (is_replace && is_control_char(cp) && !std::binary_search(valid.begin(), valid.end(), cp))
      cp = U' ';
    if (is_q2b) cp = q2b(cp);
    return cp;
  };

  std::string converted;
  bool per_position = false;  // converter changed the length: convert each code point alone
  if (is_to_zhs && !text.empty()) {
    converted = impl_->convert(text);
    // The walk below trusts its input to be well-formed.
    if (!utf8::is_valid(converted))
      throw KvException(ErrorCodes::INTERNAL_ERROR, "OpenCC returned text that is not valid UTF-8");
    per_position = utf8::length(converted) != utf8::length(text);
  }
  std::string_view source = is_to_zhs ? std::string_view(converted) : text;

  std::string normalized;
  normalized.reserve(text.size());
  std::vector<AlterWord> changes;
  std::unordered_map<char32_t, std::string> piece_cache;  // per-position conversions
  std::string value;
  std::size_t in_pos = 0, src_pos = 0;
  for (std::int64_t index = 0; in_pos < text.size(); ++index) {
    const std::size_t in_begin = in_pos;
    const char32_t in_cp = utf8::next(text, in_pos);
    if (!per_position) {
      const char32_t cp = steps(utf8::next(source, src_pos));
      const std::size_t at = normalized.size();
      utf8::append(normalized, cp);
      if (cp != in_cp)
        changes.emplace_back(std::string(text.substr(in_begin, in_pos - in_begin)),
                             normalized.substr(at), index);
      continue;
    }
    auto [it, fresh] = piece_cache.try_emplace(in_cp);
    if (fresh) it->second = impl_->convert(text.substr(in_begin, in_pos - in_begin));
    const std::string& piece = it->second;
    value.clear();
    for (std::size_t pos = 0; pos < piece.size();) utf8::append(value, steps(utf8::next(piece, pos)));
    const std::string_view input_char = text.substr(in_begin, in_pos - in_begin);
    if (value != input_char) changes.emplace_back(std::string(input_char), value, index);
    normalized += value;
  }
  return Text(std::string(text), std::move(normalized), std::move(changes));
}

}  // namespace kelvra::nlp::common::normalizer
