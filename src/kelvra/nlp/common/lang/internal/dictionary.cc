#include "kelvra/nlp/common/lang/internal/dictionary.h"

#include <unordered_map>
#include <utility>

#include <spdlog/spdlog.h>

#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/lang/internal/data_lines.h"

namespace kelvra::nlp::common::lang::internal {

namespace utf8 = kelvra::common::utf8;
using cantonese::Cantonese;

std::vector<Entry> load_entries(const std::string& path, std::string_view content, bool log) {
  // Each pair as written (Cantonese, then Mandarin), and its line.
  std::vector<std::string_view> written;
  std::vector<std::int64_t> numbers;
  std::string joined;  // the fields, a line each, converted together
  joined.reserve(content.size());
  for_each_data_line(path, content, [&](std::string_view raw, std::int64_t number) {
    // The whole line is trimmed first, then cut at tabs; fields keep their
    // own blanks.
    const std::string_view line = trim(raw);
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
    Entry entry{std::move(converted[2 * i]), std::move(converted[2 * i + 1]),
                std::string(written[2 * i]), std::string(written[2 * i + 1]), numbers[i]};
    auto [it, fresh] = position.try_emplace(entry.key, entries.size());
    if (fresh)
      entries.push_back(std::move(entry));
    else
      entries[it->second] = std::move(entry);
  }
  if (log)
    cantonese::logger()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION},
                             spdlog::level::info, "Loaded {} cantonese-mandarin pairs from {}",
                             entries.size(), path);
  return entries;
}

void load_words(const std::string& path, std::string_view content, WordList& list) {
  std::string joined;  // the words, a line each
  joined.reserve(content.size() + 1);
  for_each_data_line(path, content, [&](std::string_view raw, std::int64_t) {
    const std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') return;
    joined += line;
    joined += '\n';
  });
  // A word whose conversion held a line feed (no shipped converter makes
  // one) would count as its lines.
  list.text = simplified_lines(joined);
  list.words = lines_of(list.text);
}

bool written_as(std::string_view text, std::string_view written, std::string_view key) {
  if (written == key || written == text || key == text) return true;
  if (utf8::length(written) != utf8::length(key)) return true;
  for (std::size_t t = 0, w = 0, k = 0; t < text.size() && w < written.size() && k < key.size();) {
    const char32_t cp = utf8::next(text, t);
    const char32_t as_written = utf8::next(written, w);
    const char32_t simplified = utf8::next(key, k);
    if (cp != as_written && cp != simplified) return false;
  }
  return true;
}

}  // namespace kelvra::nlp::common::lang::internal
