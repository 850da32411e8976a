#include "kelvra/nlp/common/lang/cantonese.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>
#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/converter.h"
#include "kelvra/nlp/common/lang/cantoseg.h"

namespace kelvra::nlp::common::lang::cantonese {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::FileError;

namespace {

constexpr const char* kLoggerName = "kelvra.nlp.common.lang.cantonese";
constexpr const char* kConfig = "t2s";
constexpr const char* kDictName = "c2m.tsv";
constexpr const char* kWordsName = "mandarin_words.txt";
// Where the installed data lies, relative to the installed library's folder
// (set by the build from the install directories).
#ifndef KELVRA_DATA_FROM_LIBDIR
#define KELVRA_DATA_FROM_LIBDIR "../share/kelvra-nlp"
#endif

// The level name in capitals, as LOG_FORMAT's levelname prints it.
class UpperLevelFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    for (char c : spdlog::level::to_string_view(msg.level))
      dest.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<UpperLevelFlag>();
  }
};

// One converter for all instances, built on first use and kept for the
// life of the process: never destroyed, so that exit does not spend its
// time freeing OpenCC's dictionaries, and a thread still translating while
// the process exits never meets a destroyed converter.
const internal::Converter& converter() {
  static const internal::Converter* const instance = new internal::Converter(kConfig);
  return *instance;
}

std::string simplified(std::string_view text) { return converter().convert(text); }

// The simplified form of `joined`: texts, each followed by a line feed and
// holding none, converted together, since no conversion phrase holds a
// line feed: one pass through the converter for a whole word list rather
// than thousands of small ones. Should the converter not keep the line
// feeds where they were, each text is converted alone.
std::string simplified_lines(const std::string& joined) {
  std::string converted = simplified(joined);
  if (std::count(converted.begin(), converted.end(), '\n') == std::count(joined.begin(), joined.end(), '\n') &&
      (converted.empty() || converted.back() == '\n'))
    return converted;
  converted.clear();
  for (std::size_t pos = 0; pos < joined.size();) {
    const std::size_t end = joined.find('\n', pos);
    converted += simplified(std::string_view(joined).substr(pos, end - pos));
    converted += '\n';
    pos = end + 1;
  }
  return converted;
}

// The lines of `text`, each ended by a line feed, as views into it.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

// White space as Python's str.strip() sees it: the ASCII controls 9-13 and
// 28-31, the blank, U+0085, and the separator categories.
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

std::string_view trim(std::string_view line) {
  std::size_t begin = 0;
  while (begin < line.size()) {
    std::size_t pos = begin;
    if (!is_space(utf8::next(line, pos))) break;
    begin = pos;
  }
  std::size_t end = line.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    if (!is_space(utf8::next(line, pos))) break;
    end = start;
  }
  return line.substr(begin, end - begin);
}

// The whole content of `path`; `what` names the file in messages.
std::string read_file(const std::string& path, const char* what) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    throw FileError(path, std::string("cannot read ") + what + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path, std::string("cannot open ") + what + ": " + std::strerror(errno));
  std::string content;
  if (const auto size = std::filesystem::file_size(path, error); !error) content.reserve(size);
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) content.append(block, static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw FileError(path, std::string("cannot read ") + what + ": " + std::strerror(errno));
  return content;
}

// Calls `visit(line, number)` for each line of `content`, trimmed, numbered
// from 1; LF, CRLF and CR end a line. A byte order mark at the very start is
// the file's encoding signature, not text, and is dropped. FileError with the
// line when a line is not valid UTF-8.
template <typename Visit>
void for_each_line(const std::string& path, std::string_view content, Visit visit) {
  content = utf8::without_byte_order_mark(content);
  std::int64_t number = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    ++number;
    // A plain scan: find_first_of would search the two terminators for
    // every byte.
    std::size_t end = pos;
    while (end < content.size() && content[end] != '\n' && content[end] != '\r') ++end;
    std::string_view line = content.substr(pos, end - pos);
    pos = end;
    if (pos < content.size()) pos += (content[pos] == '\r' && pos + 1 < content.size() && content[pos + 1] == '\n') ? 2 : 1;
    if (std::size_t bad = utf8::find_invalid(line); bad != utf8::npos)
      throw FileError(path, "not valid UTF-8 at byte " + std::to_string(bad) + " of the line", number);
    visit(trim(line), number);
  }
}

// One dictionary entry as the file writes it, and where.
struct Entry {
  std::string key;    // converted Cantonese word
  std::string value;  // converted Mandarin word
  std::string written_cantonese;
  std::string written_mandarin;
  std::int64_t line = 0;
};

// Reads the dictionary: its entries, one per distinct converted Cantonese
// word, the later line winning, in the order of their first lines.
std::vector<Entry> load_entries(const std::string& path) {
  const std::string content = read_file(path, "dictionary");
  // Each pair as written (Cantonese, then Mandarin), and its line.
  std::vector<std::string_view> written;
  std::vector<std::int64_t> numbers;
  std::string joined;  // the fields, a line each
  joined.reserve(content.size());
  for_each_line(path, content, [&](std::string_view line, std::int64_t number) {
    const std::size_t tab = line.find(Cantonese::SEPERATOR);
    if (tab == std::string_view::npos) return;
    std::string_view mandarin = line.substr(tab + 1);
    written.push_back(line.substr(0, tab));
    written.push_back(mandarin.substr(0, mandarin.find(Cantonese::SEPERATOR)));
    numbers.push_back(number);
    for (std::string_view field : {written[written.size() - 2], written.back()}) {
      joined += field;
      joined += '\n';
    }
  });
  const std::string converted_text = simplified_lines(joined);
  std::vector<std::string> converted;
  for (std::string_view line : lines_of(converted_text)) converted.emplace_back(line);
  if (converted.size() != written.size()) {
    // A field whose conversion holds a line feed (no shipped converter
    // makes one): each converted alone.
    converted.clear();
    for (std::string_view text : written) converted.push_back(simplified(text));
  }
  std::vector<Entry> entries;
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    Entry entry{std::move(converted[2 * i]), std::move(converted[2 * i + 1]), std::string(written[2 * i]),
                std::string(written[2 * i + 1]), numbers[i]};
    auto [it, fresh] = position.try_emplace(entry.key, entries.size());
    if (fresh)
      entries.push_back(std::move(entry));
    else
      entries[it->second] = std::move(entry);
  }
  logger()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, spdlog::level::info,
                "Loaded {} cantonese-mandarin pairs from {}", entries.size(), path);
  return entries;
}

// The Mandarin word list in simplified characters: one text, a word a
// line, and the words as views into it (no string of its own for each of
// thousands of words). A word whose conversion held a line feed (no
// shipped converter makes one) would count as its lines.
struct WordList {
  std::string text;
  std::vector<std::string_view> words;
};

void load_words(const std::string& path, WordList& list) {
  const std::string content = read_file(path, "Mandarin word list");
  std::string joined;  // the words, a line each
  joined.reserve(content.size() + 1);
  for_each_line(path, content, [&](std::string_view line, std::int64_t) {
    if (line.empty() || line.front() == '#') return;
    joined += line;
    joined += '\n';
  });
  list.text = simplified_lines(joined);
  list.words = lines_of(list.text);
}

// The folders that may hold the shipped data, the installed place first.
std::vector<std::filesystem::path> data_folders() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Cantonese::default_dict_file), &info) == 0 ||
      info.dli_fname == nullptr)
    throw FileError(kDictName, "cannot find the directory of the cantonese library");
  const std::filesystem::path folder = std::filesystem::absolute(info.dli_fname).parent_path();
  return {(folder / KELVRA_DATA_FROM_LIBDIR).lexically_normal(), (folder / "data").lexically_normal()};
}

std::string data_file(const char* name) {
  const auto folders = data_folders();
  for (const auto& folder : folders) {
    std::error_code error;
    if (std::filesystem::is_regular_file(folder / name, error)) return (folder / name).string();
  }
  return (folders.front() / name).string();
}

// True when `text` (the input's slice under a dictionary word) is written as
// the entry writes its Cantonese word, or in simplified characters, code
// point by code point. An entry written in simplified characters takes
// whatever converts to it.
bool written_as(std::string_view text, const Entry& entry) {
  const std::string& written = entry.written_cantonese;
  if (written == entry.key || written == text || entry.key == text) return true;
  if (utf8::length(written) != utf8::length(entry.key)) return true;
  for (std::size_t t = 0, w = 0, k = 0; t < text.size() && w < written.size() && k < entry.key.size();) {
    const char32_t cp = utf8::next(text, t);
    const char32_t as_written = utf8::next(written, w);
    const char32_t simplified = utf8::next(entry.key, k);
    if (cp != as_written && cp != simplified) return false;
  }
  return true;
}

// Simplified characters of `text`, one code point for each of its code
// points, so that positions in both agree. OpenCC's t2s keeps the number of
// code points; should a converter not, each code point is converted alone,
// and one that would become more or less than one code point stays as it is.
std::string simplified_view(std::string_view text) {
  std::string view = simplified(text);
  if (utf8::length(view) == utf8::length(text)) return view;
  view.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    utf8::next(text, pos);
    const std::string_view original = text.substr(begin, pos - begin);
    const std::string converted = simplified(original);
    view += utf8::is_valid(converted) && utf8::length(converted) == 1 ? std::string_view(converted) : original;
  }
  return view;
}

}  // namespace

const std::shared_ptr<spdlog::logger>& logger() {
  static const std::shared_ptr<spdlog::logger> instance = [] {
    const bool registered = spdlog::get(kLoggerName) != nullptr;
    auto made = kelvra::common::LogUtil::get_logger(kLoggerName);
    if (!registered) {
      // LOG_FORMAT in spdlog's notation.
      auto formatter = std::make_unique<spdlog::pattern_formatter>();
      formatter->add_flag<UpperLevelFlag>('*').set_pattern("[%Y-%m-%d %H:%M:%S,%e] [%*] [%n:%#] %v");
      made->set_formatter(std::move(formatter));
      made->set_level(spdlog::level::info);
    }
    return made;
  }();
  return instance;
}

namespace {

// The segmenter's lexicon: the Mandarin words first, then the dictionary's
// Cantonese words, so that a word in both is a dictionary word. The word
// list's single characters are the characters Mandarin writes: a
// dictionary word that changes something is Marked when it holds another
// character, Ambiguous otherwise.
std::vector<cantoseg::Lexeme> lexicon(const std::vector<std::string_view>& words,
                                      const std::vector<Entry>& entries) {
  std::vector<char32_t> mandarin;  // sorted once all are in
  std::vector<cantoseg::Lexeme> lexemes;
  lexemes.reserve(words.size() + entries.size());
  for (std::string_view word : words) {
    std::size_t pos = 0;
    const char32_t cp = word.empty() ? 0 : utf8::next(word, pos);
    if (!word.empty() && pos == word.size()) mandarin.push_back(cp);
    lexemes.push_back({word, cantoseg::Standing::kPlain});
  }
  std::sort(mandarin.begin(), mandarin.end());
  for (const auto& entry : entries) {
    auto standing = cantoseg::Standing::kPlain;
    if (entry.value != entry.key) {
      standing = cantoseg::Standing::kAmbiguous;
      for (std::size_t pos = 0; pos < entry.key.size();)
        if (!std::binary_search(mandarin.begin(), mandarin.end(), utf8::next(entry.key, pos)))
          standing = cantoseg::Standing::kMarked;
    }
    lexemes.push_back({entry.key, standing});
  }
  return lexemes;
}

}  // namespace

struct Cantonese::Impl {
  Impl(std::string path, std::vector<Entry> loaded, const std::vector<std::string_view>& words)
      : dict_file(std::move(path)),
        entries(std::move(loaded)),
        first_entry(words.size()),
        segmenter(lexicon(words, entries)) {
    c2m.reserve(entries.size());
    for (const auto& entry : entries) c2m.emplace(entry.key, entry.value);
  }

  std::string dict_file;
  std::vector<Entry> entries;
  std::size_t first_entry;  // lexicon position of entries[0]
  Dictionary c2m;
  cantoseg::Segmenter segmenter;
};

Cantonese::Cantonese(std::optional<std::string> dict_file, std::optional<std::string> words_file) {
  std::string path = dict_file ? std::move(*dict_file) : default_dict_file();
  std::vector<Entry> entries = load_entries(path);
  WordList words;
  load_words(words_file ? *words_file : default_words_file(), words);
  impl_ = std::make_unique<Impl>(std::move(path), std::move(entries), words.words);
}

Cantonese::~Cantonese() = default;
Cantonese::Cantonese(Cantonese&&) noexcept = default;
Cantonese& Cantonese::operator=(Cantonese&&) noexcept = default;

std::string Cantonese::default_dict_file() { return data_file(kDictName); }
std::string Cantonese::default_words_file() { return data_file(kWordsName); }

Cantonese::Dictionary Cantonese::_load(const std::string& dict_file) {
  Dictionary dictionary;
  for (auto& entry : load_entries(dict_file)) dictionary.emplace(std::move(entry.key), std::move(entry.value));
  return dictionary;
}

const Cantonese::Dictionary& Cantonese::_c2m() const noexcept { return impl_->c2m; }
const std::string& Cantonese::dict_file() const noexcept { return impl_->dict_file; }

std::string Cantonese::translate(std::string_view text) const { return rewrite(text, nullptr); }

std::string Cantonese::translate(std::string_view text, std::vector<Rewrite>& rewrites) const {
  return rewrite(text, &rewrites);
}

std::string Cantonese::rewrite(std::string_view text, std::vector<Rewrite>* rewrites) const {
  utf8::require_valid(text, "text");
  if (text.empty()) return {};
  const std::string view = simplified_view(text);
  std::vector<cantoseg::Segmenter::Piece> pieces;
  impl_->segmenter.cut_pieces(view, pieces);

  std::string out;
  out.reserve(view.size());
  std::size_t in_pos = 0;
  std::int64_t offset = 0;
  for (const auto& piece : pieces) {
    const std::size_t length = utf8::length(piece.text);
    const std::size_t in_begin = in_pos;
    in_pos = utf8::advance(text, in_pos, length);
    const std::string_view original = text.substr(in_begin, in_pos - in_begin);
    const Entry* entry = piece.index != cantoseg::Segmenter::npos && piece.index >= impl_->first_entry
                             ? &impl_->entries[piece.index - impl_->first_entry]
                             : nullptr;
    if (entry && entry->value != piece.text && written_as(original, *entry)) {
      out += entry->value;
      if (rewrites)
        rewrites->push_back({offset, static_cast<std::int64_t>(length), std::string(original), entry->value,
                          entry->line, entry->written_cantonese, entry->written_mandarin});
    } else {
      out += piece.text;
    }
    offset += static_cast<std::int64_t>(length);
  }
  return out;
}

}  // namespace kelvra::nlp::common::lang::cantonese
