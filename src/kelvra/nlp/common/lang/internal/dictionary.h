// The dictionary (c2m.tsv) and the Mandarin word list as the translator
// reads them. Internal to the cantonese module; the formats are those of
// cantonese.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::nlp::common::lang::internal {

// One dictionary entry, and where the file writes it.
struct Entry {
  std::string key;    // converted Cantonese word
  std::string value;  // converted Mandarin word
  std::string written_cantonese;
  std::string written_mandarin;
  std::int64_t line = 0;
};

// Reads the dictionary `content` of the file `path`: its entries, one per
// distinct converted Cantonese word, the later line winning, in the order of
// their first lines. `log`: write the INFO line of a dictionary loaded.
// FileError naming `path` and the line when a line is not valid UTF-8.
std::vector<Entry> load_entries(const std::string& path, std::string_view content, bool log);

// The Mandarin word list in simplified characters: one text, a word a
// line, and the words as views into it (no string of its own for each of
// thousands of words).
struct WordList {
  std::string text;
  std::vector<std::string_view> words;
};

// Reads the word list `content` of the file `path` into `list`.
void load_words(const std::string& path, std::string_view content, WordList& list);

// True when `text` (the input's slice under a dictionary word) is written
// as `written` (the word as its file writes it) or as `key` (its simplified
// form), code point by code point. A word written in simplified characters
// takes whatever converts to it.
bool written_as(std::string_view text, std::string_view written, std::string_view key);

}  // namespace kelvra::nlp::common::lang::internal
