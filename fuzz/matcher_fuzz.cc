// The automaton built from random words and searched, checked against a
// plain search; and built folding case, width and script, checked to report
// slices of the text that include every exact occurrence. Input: the dictionary, one word a line
// (each line whole, blanks included), then a NUL byte, then the text (no NUL: the whole input is
// the dictionary and the text).
//
// Built with KELVRA_FUZZ_SAVED=1, the input is a saved automaton instead:
// loaded as it is (mapped from a file), and once more with its checksum
// made right, so that mutations reach the checks of its tables. Whatever
// loads must search soundly: each occurrence a true slice of the text, and
// every occurrence of the words it reports found, in order.
#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "kelvra/common/binary_image.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/matcher.h"

#ifndef KELVRA_FUZZ_SAVED
#define KELVRA_FUZZ_SAVED 0
#endif

using kelvra::nlp::common::matcher::Automaton;
namespace utf8 = kelvra::common::utf8;

namespace {

using Found = std::tuple<std::string, std::int64_t, std::int64_t>;  // text, length, offset

// Every occurrence, by end position, longest first at one end.
std::vector<Found> plain_search(const std::vector<std::string>& words, std::string_view text) {
  const std::u32string cps = utf8::decode(text, "text");
  std::vector<std::u32string> distinct;
  for (const auto& w : std::set<std::string>(words.begin(), words.end()))
    if (!w.empty()) distinct.push_back(utf8::decode(w, "words"));
  std::sort(distinct.begin(), distinct.end(),
            [](const auto& a, const auto& b) { return a.size() > b.size(); });
  std::vector<Found> found;
  for (std::size_t end = 1; end <= cps.size(); ++end)
    for (const auto& w : distinct)
      if (w.size() <= end && cps.compare(end - w.size(), w.size(), w) == 0)
        found.emplace_back(utf8::encode(w), static_cast<std::int64_t>(w.size()),
                           static_cast<std::int64_t>(end - w.size()));
  return found;
}

}  // namespace

#if KELVRA_FUZZ_SAVED

namespace {

// Searches texts over the seeds' letters with a loaded automaton: what it
// finds must be slices of the text, and all that a plain search for those
// words finds.
void check_sound(const Automaton& automaton) {
  for (std::string_view text : {"ushers hishe hhers", "αβγ αββγ😀γ é", "中国人 aé😀 \n\t"}) {
    std::vector<Found> got;
    std::vector<std::string> words;
    for (const auto& w : automaton.search(text)) {
      kelvra::fuzz::require(utf8::is_valid(w.text), "a found word is UTF-8");
      kelvra::fuzz::require(w.offset >= 0 && w.length > 0, "a found word has a place");
      kelvra::fuzz::require(utf8::substr(text, static_cast<std::size_t>(w.offset),
                                         static_cast<std::size_t>(w.length)) == w.text,
                            "a found word is the text at its place");
      got.emplace_back(w.text, w.length, w.offset);
      words.push_back(w.text);
    }
    std::vector<Found> visited;
    automaton.search(text, [&](std::string_view word, std::int64_t length, std::int64_t offset) {
      visited.emplace_back(std::string(word), length, offset);
    });
    kelvra::fuzz::require(visited == got, "both search forms find the same");
    kelvra::fuzz::require(got == plain_search(words, text),
                          "a loaded automaton finds what a plain search finds");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvra::fuzz::InputFile file;
  const std::string_view input = kelvra::fuzz::bytes(data, size);
  kelvra::fuzz::expect_clean([&] { check_sound(Automaton::load(file.write(input))); });
  kelvra::fuzz::expect_clean([&] {
    check_sound(Automaton::from_bytes(kelvra::common::restamp_checksum(std::string(input))));
  });
  return 0;
}

#else

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = kelvra::fuzz::bytes(data, size);
  const std::size_t nul = input.find('\0');
  const std::string_view dictionary = input.substr(0, nul);
  const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);

  std::vector<std::string> words, valid;
  kelvra::common::text_input::for_each_line(dictionary,
                                            kelvra::common::text_input::LineEnd::kLineFeed,
                                            [&](std::string_view line, std::int64_t) {
                                              words.emplace_back(line);
                                              if (utf8::is_valid(line))
                                                valid.push_back(words.back());
                                            });
  if (valid.size() != words.size()) {
    bool refused = false;
    try {
      const Automaton built(words);
    } catch (const kelvra::common::TypeError&) {
      refused = true;
    }
    kelvra::fuzz::require(refused, "a word that is not UTF-8 is refused");
  }
  const Automaton automaton(valid);
  if (!utf8::is_valid(text)) {
    bool refused = false;
    try {
      automaton.search(text);
    } catch (const kelvra::common::TypeError&) {
      refused = true;
    }
    kelvra::fuzz::require(refused, "a text that is not UTF-8 is refused");
    return 0;
  }
  // Words of one length that end at one position are the same word, so the
  // plain order (end, then length) fixes the order completely.
  std::vector<Found> got;
  for (const auto& w : automaton.search(text)) got.emplace_back(w.text, w.length, w.offset);
  kelvra::fuzz::require(got == plain_search(valid, text),
                        "the automaton finds what a plain search finds");

  // Folding every way: each occurrence is a slice of the text at its place,
  // the leftmost kinds' never overlap, and every exact occurrence is found.
  using kelvra::nlp::common::matcher::MatchKind;
  const Automaton folded(valid, kelvra::nlp::common::matcher::kAllFolds);
  std::vector<Found> all;
  for (const MatchKind kind :
       {MatchKind::kOverlapping, MatchKind::kLeftmostLongest, MatchKind::kLeftmostFirst}) {
    std::int64_t end = 0;
    for (const auto& w : folded.search(text, {kind})) {
      kelvra::fuzz::require(w.offset >= 0 && w.length > 0, "a folded occurrence has a place");
      kelvra::fuzz::require(utf8::substr(text, static_cast<std::size_t>(w.offset),
                                         static_cast<std::size_t>(w.length)) == w.text,
                            "a folded occurrence is the text at its place");
      if (kind != MatchKind::kOverlapping) {
        kelvra::fuzz::require(w.offset >= end, "leftmost occurrences do not overlap");
        end = w.offset + w.length;
      } else {
        all.emplace_back(w.text, w.length, w.offset);
      }
    }
  }
  std::sort(all.begin(), all.end());
  for (const Found& exact : got)
    kelvra::fuzz::require(std::binary_search(all.begin(), all.end(), exact),
                          "folding finds every exact occurrence");
  return 0;
}

#endif
