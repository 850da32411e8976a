#include "kelvra/nlp/common/lang/cantonese.h"

#include <span>
#include <unordered_map>
#include <utility>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/data_files.h"
#include "kelvra/nlp/common/lang/internal/data_lines.h"
#include "kelvra/nlp/common/lang/internal/dictionary.h"
#include "kelvra/nlp/common/lang/internal/model.h"
#include "kelvra/nlp/common/lang/internal/rules.h"
#include "kelvra/nlp/common/lang/internal/translate_sentence.h"

namespace kelvra::nlp::common::lang::cantonese {

namespace text_input = kelvra::common::text_input;
namespace utf8 = kelvra::common::utf8;
using kelvra::common::FileError;

namespace {

constexpr const char* kLoggerName = "kelvra.nlp.common.lang.cantonese";
constexpr const char* kDictName = "c2m.tsv";
constexpr const char* kWordsName = "mandarin_words.txt";
constexpr const char* kRulesName = "c2m_rules.tsv";

// The longest sentence translated as one; longer ones are cut.
constexpr std::size_t kSentenceMax = std::size_t{1} << 16;

// What a translator was made from: each file's name and content, kept so
// that the translator can be carried whole where the files are not
// (to_bytes).
struct Sources {
  std::string dict_file, dict;
  std::string words_file, words;
  std::string rules_file, rules;
};

// The bytes form: an image (kelvra/common/binary_image.h) whose six
// sections are the strings of Sources in order.
constexpr kelvra::common::ImageKind kBytesKind{"KELVRACT", 2, 6, "Cantonese translator"};
constexpr const char* kBytesSource = "Cantonese bytes";

}  // namespace

const std::shared_ptr<spdlog::logger>& logger() {
  // Its lines laid out as LOG_FORMAT says.
  static const std::shared_ptr<spdlog::logger> instance =
      kelvra::common::LogUtil::get_python_style_logger(kLoggerName);
  return instance;
}

namespace {

// A translator's data made from its sources; `log`: write the INFO line of
// a dictionary loaded from its file.
internal::Model make_model(const Sources& sources, bool log) {
  std::vector<internal::Entry> entries =
      internal::load_entries(sources.dict_file, sources.dict, log);
  internal::WordList words;
  internal::load_words(sources.words_file, sources.words, words);
  std::unordered_map<std::string_view, std::string_view> value_of;
  value_of.reserve(entries.size());
  for (const internal::Entry& entry : entries)
    value_of.emplace(entry.written_cantonese, entry.value);
  for (const internal::Entry& entry : entries) value_of.emplace(entry.key, entry.value);
  const auto mandarin_of = [&](std::string_view word) {
    const auto found = value_of.find(word);
    return found == value_of.end() ? std::string(word) : std::string(found->second);
  };
  std::vector<internal::Rule> rules =
      internal::load_rules(sources.rules_file, sources.rules, mandarin_of);
  return internal::Model(std::move(entries), std::move(rules), words.words);
}

}  // namespace

struct Cantonese::Impl {
  Impl(Sources loaded, bool log) : model(make_model(loaded, log)), sources(std::move(loaded)) {}

  internal::Model model;
  Sources sources;
};

Cantonese::Cantonese(std::optional<std::string> dict_file, std::optional<std::string> words_file,
                     std::optional<std::string> rules_file) {
  Sources sources;
  sources.dict_file = dict_file ? std::move(*dict_file) : default_dict_file();
  sources.dict = text_input::read_file(sources.dict_file, "dictionary");
  sources.words_file = words_file ? std::move(*words_file) : default_words_file();
  sources.words = text_input::read_file(sources.words_file, "Mandarin word list");
  sources.rules_file = rules_file ? std::move(*rules_file) : default_rules_file();
  sources.rules = text_input::read_file(sources.rules_file, "rules file");
  impl_ = std::make_unique<Impl>(std::move(sources), true);
}

Cantonese::Cantonese(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::string Cantonese::to_bytes() const {
  const Sources& sources = impl_->sources;
  kelvra::common::ImageWriter writer(kBytesKind);
  for (const std::string* field : {&sources.dict_file, &sources.dict, &sources.words_file,
                                   &sources.words, &sources.rules_file, &sources.rules})
    writer.add(std::span<const char>(field->data(), field->size()));
  return writer.bytes();
}

Cantonese Cantonese::from_bytes(std::string_view bytes) {
  // The reader needs the image aligned.
  const kelvra::common::ImageBytes copy = kelvra::common::ImageBytes::copy_of(bytes);
  const kelvra::common::ImageReader image(copy.view(), kBytesKind, kBytesSource);
  const auto text = [&](std::size_t index, std::string_view what) {
    const std::span<const char> section = image.section<char>(index, what);
    return std::string(section.data(), section.size());
  };
  Sources sources;
  sources.dict_file = text(0, "the dictionary's name");
  sources.dict = text(1, "the dictionary");
  sources.words_file = text(2, "the word list's name");
  sources.words = text(3, "the word list");
  sources.rules_file = text(4, "the rules' name");
  sources.rules = text(5, "the rules");
  for (const std::string* name : {&sources.dict_file, &sources.words_file, &sources.rules_file})
    if (!utf8::is_valid(*name)) image.fail("a file name that is not valid UTF-8");
  return Cantonese(std::make_unique<Impl>(std::move(sources), false));
}

Cantonese::~Cantonese() = default;
Cantonese::Cantonese(Cantonese&&) noexcept = default;
Cantonese& Cantonese::operator=(Cantonese&&) noexcept = default;

std::string Cantonese::default_dict_file() {
  return kelvra::nlp::common::internal::shipped_data_file(kDictName);
}
std::string Cantonese::default_words_file() {
  return kelvra::nlp::common::internal::shipped_data_file(kWordsName);
}
std::string Cantonese::default_rules_file() {
  return kelvra::nlp::common::internal::shipped_data_file(kRulesName);
}

Cantonese::Dictionary Cantonese::_load(const std::string& dict_file) {
  Dictionary dictionary;
  for (auto& entry :
       internal::load_entries(dict_file, text_input::read_file(dict_file, "dictionary"), true))
    dictionary.emplace(std::move(entry.key), std::move(entry.value));
  return dictionary;
}

const Cantonese::Dictionary& Cantonese::_c2m() const noexcept { return impl_->model.c2m; }
const std::string& Cantonese::dict_file() const noexcept { return impl_->sources.dict_file; }
const std::string& Cantonese::words_file() const noexcept { return impl_->sources.words_file; }
const std::string& Cantonese::rules_file() const noexcept { return impl_->sources.rules_file; }

std::string Cantonese::simplified(std::string_view text) {
  utf8::require_valid(text, "text");
  return internal::simplified(text);
}

std::string Cantonese::translate(std::string_view text) const {
  std::string out;
  out.reserve(text.size());
  rewrite(
      text, [&](std::string_view piece) { out += piece; }, nullptr);
  return out;
}

std::string Cantonese::translate(std::string_view text, std::vector<Rewrite>& rewrites) const {
  std::string out;
  out.reserve(text.size());
  rewrite(
      text, [&](std::string_view piece) { out += piece; }, &rewrites);
  return out;
}

void Cantonese::translate(std::string_view text,
                          const std::function<void(std::string_view)>& write) const {
  rewrite(text, write, nullptr);
}

void Cantonese::rewrite(std::string_view text, const std::function<void(std::string_view)>& write,
                        std::vector<Rewrite>* rewrites) const {
  utf8::require_valid(text, "text");
  if (text.empty()) return;
  // Sentences (up to a sentence end, at most kSentenceMax code points) are
  // translated one at a time.
  const std::string view = internal::simplified_view(text);
  // The buffers of the thread's translations, reused from call to call: a
  // corpus of short lines would otherwise spend its time allocating them.
  // A translation made inside `write` on the same thread gets fresh ones.
  thread_local internal::Sentence reused;
  thread_local bool in_use = false;
  std::unique_ptr<internal::Sentence> fresh;
  if (in_use) fresh = std::make_unique<internal::Sentence>();
  internal::Sentence& s = fresh ? *fresh : reused;
  struct Release {
    bool owned;
    ~Release() {
      if (owned) in_use = false;
    }
  } release{!fresh};
  in_use = true;
  std::int64_t offset = 0;
  for (std::size_t view_pos = 0, text_pos = 0; view_pos < view.size();) {
    s.cps.clear();
    s.written.clear();
    s.view_at.clear();
    s.text_at.clear();
    while (view_pos < view.size() && s.cps.size() < kSentenceMax) {
      s.view_at.push_back(view_pos);
      s.text_at.push_back(text_pos);
      const char32_t cp = utf8::next(view, view_pos);
      s.cps.push_back(cp);
      s.written.push_back(utf8::next(text, text_pos));
      if (internal::ends_sentence(cp)) break;
    }
    s.view_at.push_back(view_pos);
    s.text_at.push_back(text_pos);
    internal::translate_sentence(impl_->model, text, view, offset, s, rewrites);
    write(s.out);
    offset += static_cast<std::int64_t>(s.cps.size());
  }
}

}  // namespace kelvra::nlp::common::lang::cantonese
