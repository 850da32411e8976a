#include "kelvra/nlp/common/matcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/common.h"
#include "opencc/SimpleConverter.hpp"
#include "utf8proc.h"

namespace kelvra::nlp::common::matcher {
namespace {

using kelvra::common::FileError;
using kelvra::common::KeyError;
using kelvra::common::TypeError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Found = std::tuple<std::string, std::int64_t, std::int64_t>;  // text, length, offset

std::vector<Found> found(const std::vector<Word>& words) {
  std::vector<Found> out;
  for (const Word& w : words) out.emplace_back(w.text, w.length, w.offset);
  return out;
}

std::vector<Found> visited(const Automaton& automaton, std::string_view text) {
  std::vector<Found> out;
  automaton.search(text, [&](std::string_view word, std::int64_t length, std::int64_t offset) {
    out.emplace_back(std::string(word), length, offset);
  });
  return out;
}

// The list form's occurrences, after checking that the visitor form finds
// the same ones in the same order.
std::vector<Found> search(const std::vector<std::string>& dictionary, std::string_view text) {
  Automaton automaton(dictionary);
  auto listed = found(automaton.search(text));
  EXPECT_EQ(visited(automaton, text), listed);
  return listed;
}

// --- What is reported, and in which order ---

TEST(Automaton, WorkedExample) {
  EXPECT_THAT(search({"he", "she", "hers"}, "ushers"),
              ElementsAre(Found{"she", 3, 1}, Found{"he", 2, 2}, Found{"hers", 4, 2}));
}

TEST(Automaton, OverlappingNestedAndSharedEnds) {
  EXPECT_THAT(search({"aa"}, "aaaa"),
              ElementsAre(Found{"aa", 2, 0}, Found{"aa", 2, 1}, Found{"aa", 2, 2}));
  // A word inside a longer one is reported where it ends.
  EXPECT_THAT(search({"abc", "ab"}, "abc"), ElementsAre(Found{"ab", 2, 0}, Found{"abc", 3, 0}));
  // At one end, the longest first, then shorter suffixes.
  EXPECT_THAT(search({"c", "bc", "abc", "x"}, "abc"),
              ElementsAre(Found{"abc", 3, 0}, Found{"bc", 2, 1}, Found{"c", 1, 2}));
  // A suffix reached only through a failure link (abd fails to bd).
  EXPECT_THAT(search({"abc", "bd", "d"}, "abd"), ElementsAre(Found{"bd", 2, 1}, Found{"d", 1, 2}));
}

TEST(Automaton, CountsCodePointsOutsideTheBasicPlane) {
  // U+1F600 and U+20000 take four bytes each and count as one position.
  EXPECT_THAT(search({"😀好", "𠀀", "好"}, "a😀好𠀀😀"),
              ElementsAre(Found{"😀好", 2, 1}, Found{"好", 1, 2}, Found{"𠀀", 1, 3}));
  EXPECT_THAT(search({"中国", "国人"}, "我是中国人"),
              ElementsAre(Found{"中国", 2, 2}, Found{"国人", 2, 3}));
}

TEST(Automaton, ExactCodePointsOnly) {
  EXPECT_THAT(search({"He", "e l"}, "he lHe"), ElementsAre(Found{"e l", 3, 1}, Found{"He", 2, 4}));
}

TEST(Automaton, NothingToReport) {
  EXPECT_TRUE(search({"abc"}, "").empty());
  EXPECT_TRUE(search({"abc"}, "abxabd ab").empty());
  EXPECT_TRUE(search({}, "abc").empty());
  // An empty word can never be reported: it is ignored.
  EXPECT_TRUE(search({""}, "abc").empty());
  Automaton mixed({"", "b", ""});
  EXPECT_EQ(mixed.size(), 1u);
  EXPECT_THAT(found(mixed.search("abc")), ElementsAre(Found{"b", 1, 1}));
}

TEST(Automaton, RepeatedWordsStoredOnceAndSearchesRepeat) {
  Automaton automaton(std::vector<std::string>{"ab", "b", "ab", "b"});
  EXPECT_EQ(automaton.size(), 2u);
  auto first = found(automaton.search("abab"));
  EXPECT_THAT(
      first, ElementsAre(Found{"ab", 2, 0}, Found{"b", 1, 1}, Found{"ab", 2, 2}, Found{"b", 1, 3}));
  EXPECT_EQ(found(automaton.search("abab")), first);
  // Appending into a caller's vector gives the same records after its own.
  std::vector<Word> into{Word("x", 1, 9)};
  automaton.search("abab", into);
  ASSERT_EQ(into.size(), 5u);
  into.erase(into.begin());
  EXPECT_EQ(found(into), first);
  EXPECT_THROW(automaton.search("\xff", into), TypeError);
  bool visited_any = false;
  EXPECT_THROW(automaton.search("ab\xff", [&](auto...) { visited_any = true; }), TypeError);
  EXPECT_FALSE(visited_any);
  EXPECT_EQ(into.size(), 4u);

  Automaton moved(std::move(automaton));
  EXPECT_EQ(found(moved.search("abab")), first);
  EXPECT_TRUE(automaton.search("abab").empty());  // NOLINT(bugprone-use-after-move)
}

TEST(Automaton, RootWithManyFirstCharacters) {
  // Tens of thousands of distinct first characters, then ASCII text.
  std::vector<std::string> words;
  for (char32_t cp = 0x4E00; cp < 0x4E00 + 20000; ++cp) {
    std::string w;
    kelvra::common::utf8::append(w, cp);
    words.push_back(w + "x");
  }
  words.push_back("ab");
  Automaton automaton(words);
  EXPECT_THAT(found(automaton.search("xabx一x")),
              ElementsAre(Found{"ab", 2, 1}, Found{"一x", 2, 4}));
}

// --- Inputs ---

TEST(Automaton, RecordDictionaryAndBadInput) {
  Automaton from_record(Record::parse(R"(["he", "she"])"));
  EXPECT_THAT(found(from_record.search("she")), ElementsAre(Found{"she", 3, 0}, Found{"he", 2, 1}));
  std::vector<std::string_view> views{"ab"};
  EXPECT_EQ(Automaton(views).size(), 1u);

  try {
    Automaton(Record::parse(R"(["a", 3])"));
    FAIL() << "a number in the word list";
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "words");
    EXPECT_THAT(e.what(), HasSubstr("item 1"));
  }
  EXPECT_THROW(Automaton(Record::parse(R"({"a": 1})")), TypeError);
  try {
    Automaton(std::vector<std::string>{"ok", "bad\xff"});
    FAIL() << "invalid UTF-8 in a word";
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "words");
  }
  try {
    Automaton(std::vector<std::string>{"a"}).search("a\xc3");
    FAIL() << "invalid UTF-8 in the text";
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "text");
  }
}

TEST(Word, RecordForms) {
  Word word("she", 3, 1);
  EXPECT_EQ(word.to_json().dump(), R"({"text":"she","length":3,"offset":1})");
  EXPECT_EQ(word.to_string(), "{'text': 'she', 'length': 3, 'offset': 1}");
  Word back =
      Word::from_json(Record::parse(R"({"offset": 2.9, "text": "中", "length": 1, "x": 0})"));
  EXPECT_EQ(std::tie(back.text, back.length, back.offset), std::make_tuple("中", 1, 2));
  EXPECT_THROW(Word::from_json(Record::parse(R"({"text": "a", "length": 1})")), KeyError);
  EXPECT_THROW(Word("\xff", 1, 0), TypeError);
}

// --- Against a plain search ---

// An occurrence with the id of its word.
using FoundId = std::tuple<std::string, std::int64_t, std::int64_t, std::int32_t>;

bool word_character_at(const std::u32string& text, std::size_t at) {
  return at < text.size() && is_word_character(text[at]);
}

// A folding of single code points, for the reference below.
using FoldOne = std::function<std::u32string(char32_t)>;

std::u32string unfolded(char32_t cp) { return std::u32string(1, cp); }

// Every dictionary word tried at every position; a whole word must not have
// word characters on both sides of either of its ends. Overlapping: by end,
// then longest first. Leftmost kinds: from each position on, the candidates
// starting there, the longest or the first listed; after one is taken the
// next position is its end. With a folding, the text and the words are
// folded whole first; a match counts where it begins with the first and
// ends with the last code point of the foldings of code points of the
// text, and is reported as those code points of the text.
std::vector<FoundId> reference(std::vector<std::u32string> words, const std::u32string& text,
                               const SearchOptions& options = {}, const FoldOne& fold = unfolded) {
  std::u32string folded;
  std::vector<std::size_t> origin;          // of each folded code point
  std::vector<bool> first_unit, last_unit;  // of a code point's folding
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::u32string units = fold(text[i]);
    for (std::size_t u = 0; u < units.size(); ++u) {
      folded += units[u];
      origin.push_back(i);
      first_unit.push_back(u == 0);
      last_unit.push_back(u + 1 == units.size());
    }
  }
  for (auto& w : words) {
    std::u32string f;
    for (char32_t cp : w) f += fold(cp);
    w = f;
  }
  struct Candidate {
    std::size_t at, length;
    std::int32_t id;
  };
  std::vector<Candidate> all;
  for (std::size_t id = 0; id < words.size(); ++id) {
    const auto& w = words[id];
    if (w.empty() || std::find(words.begin(), words.begin() + id, w) != words.begin() + id)
      continue;
    for (std::size_t unit = 0; unit + w.size() <= folded.size(); ++unit) {
      if (folded.compare(unit, w.size(), w) != 0 || !first_unit[unit] ||
          !last_unit[unit + w.size() - 1])
        continue;
      const std::size_t at = origin[unit], end = origin[unit + w.size() - 1] + 1;
      if (options.whole_words &&
          ((at > 0 && word_character_at(text, at) && word_character_at(text, at - 1)) ||
           (word_character_at(text, end - 1) && word_character_at(text, end))))
        continue;
      all.push_back({at, end - at, static_cast<std::int32_t>(id)});
    }
  }
  std::vector<Candidate> chosen;
  if (options.kind == MatchKind::kOverlapping) {
    chosen = all;
    std::sort(chosen.begin(), chosen.end(), [](const Candidate& a, const Candidate& b) {
      return a.at + a.length != b.at + b.length ? a.at + a.length < b.at + b.length
                                                : a.length > b.length;
    });
  } else {
    for (std::size_t at = 0; at < text.size();) {
      const Candidate* best = nullptr;
      for (const auto& c : all) {
        if (c.at != at) continue;
        if (best == nullptr ||
            (options.kind == MatchKind::kLeftmostLongest ? c.length > best->length
                                                         : c.id < best->id))
          best = &c;
      }
      if (best == nullptr) {
        ++at;
        continue;
      }
      chosen.push_back(*best);
      at += best->length;
    }
  }
  std::vector<FoundId> out;
  for (const auto& c : chosen)
    out.emplace_back(kelvra::common::utf8::encode(text.substr(c.at, c.length)),
                     std::int64_t(c.length), std::int64_t(c.at), c.id);
  return out;
}

std::vector<Found> without_ids(const std::vector<FoundId>& occurrences) {
  std::vector<Found> out;
  for (const auto& [word, length, offset, id] : occurrences) out.emplace_back(word, length, offset);
  return out;
}

// The occurrences of every form of search (records, visitor, arrays), after
// checking that they agree and that each id names the word found.
std::vector<FoundId> searched(const Automaton& automaton, std::string_view text,
                              const SearchOptions& options = {}) {
  std::vector<Found> visits;
  automaton.search(
      text,
      [&](std::string_view word, std::int64_t length, std::int64_t offset) {
        visits.emplace_back(std::string(word), length, offset);
      },
      options);
  const auto records = found(automaton.search(text, options));
  EXPECT_EQ(visits, records);
  Occurrences arrays;
  automaton.search(text, arrays, options);
  std::vector<FoundId> out;
  EXPECT_EQ(arrays.size(), records.size());
  for (std::size_t i = 0; i < std::min(arrays.size(), records.size()); ++i) {
    const auto& [word, length, offset] = records[i];
    EXPECT_EQ(arrays.offsets[i], offset);
    EXPECT_EQ(arrays.lengths[i], length);
    if (automaton.folds() == 0) {
      EXPECT_EQ(automaton.word(static_cast<std::size_t>(arrays.ids[i])), word);
    }
    out.emplace_back(word, length, offset, arrays.ids[i]);
  }
  return out;
}

// Every kind, with and without whole words.
constexpr SearchOptions kAllOptions[] = {
    {MatchKind::kOverlapping, false},     {MatchKind::kOverlapping, true},
    {MatchKind::kLeftmostLongest, false}, {MatchKind::kLeftmostLongest, true},
    {MatchKind::kLeftmostFirst, false},   {MatchKind::kLeftmostFirst, true}};

// Up to `max_length` code points drawn from `letters`.
std::u32string random_text(std::mt19937& rng, const std::u32string& letters,
                           std::size_t max_length) {
  std::u32string w(rng() % (max_length + 1), U'a');
  for (auto& c : w) c = letters[rng() % letters.size()];
  return w;
}

std::vector<std::string> encoded(const std::vector<std::u32string>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(kelvra::common::utf8::encode(w));
  return out;
}

TEST(Automaton, KindsAndWholeWordsMatchAPlainSearch) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kDictionaries = 200;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  constexpr int kDictionaries = 200;
#else
  constexpr int kDictionaries = 2000;
#endif
#else
  constexpr int kDictionaries = 2000;
#endif
  constexpr int kTextsEach = 50;
  std::mt19937 rng(20261209);
  // Few letters, so that words overlap, nest and repeat: Latin with a
  // precomposed and a combining accent, digits, Han, kana, Hangul, a
  // character outside the basic plane, an emoji with a skin tone and a
  // joiner, a space and a hyphen (no word characters), and z in no word.
  const std::u32string letters = U"abé\u03011中ひ한𠀀😀\U0001F3FD\u200D -";
  auto random_word = [&](std::size_t max_length) { return random_text(rng, letters, max_length); };
  std::size_t cases = 0, occurrences = 0;
  for (int d = 0; d < kDictionaries; ++d) {
    std::vector<std::u32string> words(rng() % 10);
    for (auto& w : words) {
      // Some words extend or repeat an earlier one.
      if (!words.empty() && rng() % 3 == 0 && &w != &words[0])
        w = (&w)[-1 - static_cast<std::ptrdiff_t>(rng() % (&w - &words[0]))] + random_word(2);
      else
        w = random_word(4);
    }
    const Automaton automaton(encoded(words));
    ASSERT_EQ(automaton.dictionary_size(), words.size());
    for (int t = 0; t < kTextsEach; ++t) {
      std::u32string text;
      for (std::size_t pieces = rng() % 12; pieces > 0; --pieces) {
        if (!words.empty() && rng() % 2 == 0)
          text += words[rng() % words.size()];
        else
          text += rng() % 8 == 0 ? std::u32string(U"z") : random_word(3);
      }
      const std::string utf8_text = kelvra::common::utf8::encode(text);
      for (const auto& options : kAllOptions) {
        const auto expected = reference(words, text, options);
        ASSERT_EQ(searched(automaton, utf8_text, options), expected)
            << "dictionary " << d << " text " << t << " kind " << match_kind_name(options.kind)
            << " whole words " << options.whole_words;
        occurrences += expected.size();
      }
      ++cases;
    }
  }
  EXPECT_GT(occurrences, cases);  // the cases do find things
}

// The foldings from their sources, a code point at a time: the normaliser's
// Q2B, utf8proc's case folding of a string, OpenCC's t2s of one character.
std::u32string fold_by_the_rules(char32_t cp, std::uint8_t folds) {
  static const opencc::SimpleConverter t2s("t2s");
  if (folds & kFoldWidth) cp = q2b(cp);
  std::string one = kelvra::common::utf8::encode(std::u32string(1, cp));
  if (folds & kFoldCase) {
    utf8proc_uint8_t* mapped = nullptr;
    const auto size =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(one.data()),
                     static_cast<utf8proc_ssize_t>(one.size()), &mapped, UTF8PROC_CASEFOLD);
    if (size >= 0)
      one.assign(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(size));
    std::free(mapped);
  }
  std::u32string units = kelvra::common::utf8::decode(one, "text");
  if (folds & kFoldScript) {
    for (char32_t& unit : units) {
      const std::u32string converted = kelvra::common::utf8::decode(
          t2s.Convert(kelvra::common::utf8::encode(std::u32string(1, unit))), "text");
      if (converted.size() == 1) unit = converted[0];
    }
  }
  return units;
}

TEST(Automaton, FoldedMatchingEqualsMatchingTheFoldedText) {
  std::mt19937 rng(91209);
  // Letters whose foldings meet: cases, ß and ẞ and ss, the Kelvin sign, a
  // dotted capital I and a combining dot, final and capital sigma, a
  // ligature, full-width forms, traditional and simplified characters, a
  // character outside the basic plane and z, which no word has.
  const std::u32string letters = U"aAsSßẞKk\u212AİI\u0307σςΣﬃfＡａ１1頭头髮发乾干 😀";
  auto random_word = [&](std::size_t max_length) { return random_text(rng, letters, max_length); };
  std::size_t occurrences = 0, cases = 0;
  for (std::uint8_t folds = 1; folds <= kAllFolds; ++folds) {
    const FoldOne fold = [folds](char32_t cp) { return fold_by_the_rules(cp, folds); };
    for (int d = 0; d < 150; ++d) {
      std::vector<std::u32string> words(rng() % 8);
      for (auto& w : words) w = random_word(4);
      const Automaton automaton(encoded(words), folds);
      ASSERT_EQ(automaton.folds(), folds);
      for (int t = 0; t < 20; ++t) {
        std::u32string text;
        for (std::size_t pieces = rng() % 10; pieces > 0; --pieces)
          text += !words.empty() && rng() % 2 == 0 ? words[rng() % words.size()]
                  : rng() % 8 == 0                 ? std::u32string(U"z")
                                                   : random_word(3);
        const std::string utf8_text = kelvra::common::utf8::encode(text);
        for (const auto& options : kAllOptions) {
          const auto expected = reference(words, text, options, fold);
          ASSERT_EQ(searched(automaton, utf8_text, options), expected)
              << "folds " << folds_name(folds) << " dictionary " << d << " text " << t << " kind "
              << match_kind_name(options.kind) << " whole words " << options.whole_words;
          occurrences += expected.size();
        }
        ++cases;
      }
    }
  }
  EXPECT_GT(occurrences, cases);
}

TEST(Automaton, FoldingWorkedExamples) {
  struct Example {
    const char* folds;
    std::vector<std::string> words;
    const char* text;
    std::vector<Found> expected;
  };
  const Example examples[] = {
      {"case", {"straße"}, "STRASSE Straße", {{"STRASSE", 7, 0}, {"Straße", 6, 8}}},
      {"case", {"strasse"}, "Straße", {{"Straße", 6, 0}}},
      // An occurrence covers whole code points of the text.
      {"case", {"s"}, "ß", {}},
      {"case", {"ΣΟΦΟΣ"}, "σοφος σοφοσ", {{"σοφος", 5, 0}, {"σοφοσ", 5, 6}}},
      {"width", {"abc1"}, "ａｂｃ１ ABC1", {{"ａｂｃ１", 4, 0}}},
      {"case,width", {"hello"}, "ＨＥＬＬＯ!", {{"ＨＥＬＬＯ", 5, 0}}},
      {"script", {"头发"}, "洗頭髮 洗头发", {{"頭髮", 2, 1}, {"头发", 2, 5}}},
      {"script", {"頭髮"}, "头发", {{"头发", 2, 0}}},
      {"", {"abc"}, "ABC", {}},
  };
  for (const auto& e : examples) {
    const Automaton automaton(e.words, folds_of(e.folds, "fold"));
    EXPECT_EQ(found(automaton.search(e.text)), e.expected) << e.folds << " " << e.text;
  }
  EXPECT_EQ(folds_of("script,case", "fold"), kFoldCase | kFoldScript);
  EXPECT_EQ(folds_name(kAllFolds), "case,width,script");
  for (const char* bad : {"Case", "case,", ",", "case,,width", "accents"})
    EXPECT_THAT([&] { folds_of(bad, "--fold"); },
                ::testing::ThrowsMessage<kelvra::common::KvException>(HasSubstr("--fold")))
        << bad;
  EXPECT_THROW(Automaton({"a"}, 8), kelvra::common::KvException);
}

TEST(Automaton, KindsWorkedExamples) {
  const Automaton automaton({"ab", "abc", "bcd", "c"});
  const auto with = [&](MatchKind kind, bool whole_words = false) {
    return without_ids(searched(automaton, "abcd xabc", {kind, whole_words}));
  };
  EXPECT_THAT(with(MatchKind::kLeftmostLongest),
              ElementsAre(Found{"abc", 3, 0}, Found{"abc", 3, 6}));
  EXPECT_THAT(with(MatchKind::kLeftmostFirst), ElementsAre(Found{"ab", 2, 0}, Found{"c", 1, 2},
                                                           Found{"ab", 2, 6}, Found{"c", 1, 8}));
  // Whole words: a candidate that cuts a word is none, so a shorter one at
  // the same start may win (ab before -), or a later start (c at 8).
  const Automaton hyphened({"ab", "ab-c", "c"});
  EXPECT_THAT(without_ids(searched(hyphened, "ab-cd c", {MatchKind::kLeftmostLongest, true})),
              ElementsAre(Found{"ab", 2, 0}, Found{"c", 1, 6}));
  EXPECT_THAT(without_ids(searched(hyphened, "ab-cd c", {MatchKind::kLeftmostLongest})),
              ElementsAre(Found{"ab-c", 4, 0}, Found{"c", 1, 6}));
  EXPECT_EQ(match_kind_of("leftmost-first", "kind"), MatchKind::kLeftmostFirst);
  EXPECT_EQ(match_kind_name(MatchKind::kLeftmostLongest), "leftmost-longest");
  try {
    match_kind_of("longest", "kind");
    FAIL() << "an unknown kind";
  } catch (const kelvra::common::KvException& e) {
    EXPECT_THAT(e.what(), HasSubstr("`kind` must be overlapping, leftmost-longest or"));
  }
}

TEST(Automaton, WordBoundaryTable) {
  for (char32_t cp : std::u32string(U"aZ5éßДـ\u0301\u0903١"))
    EXPECT_TRUE(is_word_character(cp)) << std::uint32_t(cp);
  for (char32_t cp : std::u32string(U"中ひカ한𠀀々 -_.😀\u200D\U0001F3FD，"))
    EXPECT_FALSE(is_word_character(cp)) << std::uint32_t(cp);
  const Automaton automaton({"cat", "中文", "cafe", "1"});
  EXPECT_THAT(
      without_ids(searched(automaton, "cat concat cats cat. 中文cat的中文字 cafe\u0301 1 a1",
                           {MatchKind::kOverlapping, true})),
      ElementsAre(Found{"cat", 3, 0}, Found{"cat", 3, 16}, Found{"中文", 2, 21},
                  Found{"cat", 3, 23}, Found{"中文", 2, 27}, Found{"1", 1, 37}));
}

TEST(Automaton, IdsNameTheWordsAsListed) {
  const Automaton automaton(std::vector<std::string>{"ab", "", "b😀", "ab"});
  EXPECT_EQ(automaton.dictionary_size(), 4u);
  EXPECT_TRUE(automaton.dictionary_ordered());
  EXPECT_EQ(automaton.word(0), "ab");
  EXPECT_EQ(automaton.word(1), "");
  EXPECT_EQ(automaton.word(2), "b😀");
  EXPECT_EQ(automaton.word(3), "ab");
  EXPECT_THROW(automaton.word(4), std::out_of_range);
  Occurrences arrays;
  automaton.search("ab😀", arrays);
  EXPECT_THAT(arrays.ids, ElementsAre(0, 2));
}

TEST(Automaton, LargeSkewedDictionaryMatchesAPlainSearch) {
  // Thousands of words over thousands of code points, a few of them very
  // common, as in real text: families of every size, from the common first
  // characters with hundreds of children down to single ones, must share
  // the transition table without one stealing another's edge.
  std::mt19937 rng(8);
  std::vector<char32_t> alphabet;
  for (char32_t cp = 0x4E00; cp < 0x4E00 + 2500; ++cp) alphabet.push_back(cp);
  for (char32_t cp = 0x20000; cp < 0x20000 + 500; ++cp) alphabet.push_back(cp);
  std::geometric_distribution<std::size_t> skewed(0.01);
  auto letter = [&] { return alphabet[skewed(rng) % alphabet.size()]; };
  std::vector<std::u32string> words(6000);
  for (auto& w : words) {
    w.resize(1 + rng() % 6);
    for (auto& c : w) c = letter();
  }
  std::u32string text;
  while (text.size() < 4000) {
    if (rng() % 3 == 0)
      text += letter();
    else
      text += words[rng() % words.size()];
  }
  std::vector<std::string> dictionary;
  for (const auto& w : words) dictionary.push_back(kelvra::common::utf8::encode(w));
  const auto expected = reference(words, text);
  EXPECT_GT(expected.size(), 4000u);
  EXPECT_EQ(searched(Automaton(dictionary), kelvra::common::utf8::encode(text)), expected);
}

TEST(Automaton, OneAutomatonServesTwoThreads) {
  Automaton automaton(std::vector<std::string>{"江城", "城东", "林秋生", "秋", "钟表"});
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "江城东的林秋生修钟表。";
  const auto expected = found(automaton.search(text));
  ASSERT_EQ(expected.size(), 2000u * 5);
  std::vector<Found> results[2];
  std::thread a([&] { results[0] = found(automaton.search(text)); });
  std::thread b([&] { results[1] = found(automaton.search(text)); });
  a.join();
  b.join();
  EXPECT_EQ(results[0], expected);
  EXPECT_EQ(results[1], expected);
}

// --- Saved automata ---

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "matcher_" + name + ".kvac";
}

// A random dictionary over a small alphabet (so that words nest and
// overlap), with a letter outside the basic plane, and a text over it plus a
// letter no word has.
struct RandomCase {
  std::vector<std::string> words;
  std::string text;
};

RandomCase random_case(std::mt19937& rng, std::size_t max_words = 12) {
  const std::u32string alphabet = U"ab中😀é";
  RandomCase c;
  c.words.resize(rng() % max_words);
  for (auto& w : c.words) {
    std::u32string cps(rng() % 5, U'a');
    for (auto& cp : cps) cp = alphabet[rng() % alphabet.size()];
    w = kelvra::common::utf8::encode(cps);
  }
  std::u32string text(rng() % 60, U'a');
  for (auto& cp : text) cp = rng() % 10 == 0 ? U'z' : alphabet[rng() % alphabet.size()];
  c.text = kelvra::common::utf8::encode(text);
  return c;
}

TEST(SavedAutomaton, LoadedAndUnpickledFindWhatTheBuiltOneFinds) {
  std::mt19937 rng(19);
  const std::string path = temp_path("round_trip");
  for (int round = 0; round < 200; ++round) {
    const RandomCase c = random_case(rng);
    const Automaton built(c.words);
    const auto expected = found(built.search(c.text));
    // Saving syncs the file to disk: only now and then.
    if (round % 10 == 0) built.save(path);
    const Automaton loaded =
        round % 10 == 0 ? Automaton::load(path) : Automaton::from_bytes(built.to_bytes());
    const Automaton unpickled = Automaton::from_bytes(built.to_bytes());
    ASSERT_EQ(loaded.mapped(), round % 10 == 0);
    ASSERT_FALSE(unpickled.mapped());
    ASSERT_EQ(found(loaded.search(c.text)), expected) << "round " << round;
    ASSERT_EQ(visited(loaded, c.text), expected) << "round " << round;
    ASSERT_EQ(found(unpickled.search(c.text)), expected) << "round " << round;
    ASSERT_EQ(loaded.size(), built.size());
    // The same bytes whichever way they are made, also from a loaded one.
    ASSERT_EQ(loaded.to_bytes(), built.to_bytes());
  }
  // A loaded automaton saved again, over the very file it maps.
  const Automaton words({"he", "she", "hers"});
  words.save(path);
  Automaton loaded = Automaton::load(path);
  loaded.save(path);
  EXPECT_THAT(found(Automaton::load(path).search("ushers")),
              ElementsAre(Found{"she", 3, 1}, Found{"he", 2, 2}, Found{"hers", 4, 2}));
  EXPECT_THAT(found(loaded.search("ushers")), ::testing::SizeIs(3));
  // Moved from: an empty automaton, which saves and loads as one.
  Automaton moved(std::move(loaded));
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_EQ(loaded.size(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(Automaton::from_bytes(loaded.to_bytes()).search("ushers").empty());
  EXPECT_EQ(loaded.to_bytes(), Automaton(std::vector<std::string>{}).to_bytes());
}

// The message of the FileError that loading `bytes` throws.
std::string refusal(std::string_view bytes) {
  try {
    Automaton::from_bytes(bytes);
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "automaton bytes");
    return e.what();
  }
  return "(accepted)";
}

// The same automaton in format version 1: the first five sections and the
// alphabet's size alone, as automata were saved before they recorded their
// dictionary.
std::string first_version_of(const std::string& bytes) {
  constexpr kelvra::common::ImageKind kNow{"KELVRAAC", 2, 7, "saved automaton"};
  constexpr kelvra::common::ImageKind kFirst{"KELVRAAC", 1, 5, "saved automaton"};
  const kelvra::common::ImageReader image(bytes, kNow, "bytes");
  const auto fields = image.section<std::uint64_t>(0, "fields").first(1);
  kelvra::common::ImageWriter writer(kFirst);
  writer.add(fields);
  for (std::size_t section = 1; section < 5; ++section)
    writer.add(image.section<std::uint32_t>(section, "tables"));
  return writer.bytes();
}

TEST(SavedAutomaton, FirstVersionFilesStillLoad) {
  const std::vector<std::string> words{"she", "he", "", "hers", "he"};
  const Automaton built(words);
  const std::string text = "ushers she";
  const std::string old_bytes = first_version_of(built.to_bytes());
  const std::string path = temp_path("first_version");
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(old_bytes.data(), 1, old_bytes.size(), file), old_bytes.size());
    std::fclose(file);
  }
  for (const Automaton& old : {Automaton::from_bytes(old_bytes), Automaton::load(path)}) {
    EXPECT_FALSE(old.dictionary_ordered());
    EXPECT_EQ(without_ids(searched(old, text)), without_ids(searched(built, text)));
    EXPECT_EQ(without_ids(searched(old, text, {MatchKind::kLeftmostLongest, true})),
              without_ids(searched(built, text, {MatchKind::kLeftmostLongest, true})));
    // Its distinct words stand for the dictionary.
    ASSERT_EQ(old.dictionary_size(), 3u);
    std::vector<std::string> distinct{old.word(0), old.word(1), old.word(2)};
    std::sort(distinct.begin(), distinct.end());
    EXPECT_THAT(distinct, ElementsAre("he", "hers", "she"));
    EXPECT_THROW(old.search(text, {MatchKind::kLeftmostFirst}), kelvra::common::KvException);
    // Saved again, it is a present-version file that still knows it has no order.
    const Automaton again = Automaton::from_bytes(old.to_bytes());
    EXPECT_FALSE(again.dictionary_ordered());
    EXPECT_EQ(again.word(1), old.word(1));
  }
  std::remove(path.c_str());
}

TEST(SavedAutomaton, DamagedForeignAndOutdatedFilesAreRefused) {
  const std::string bytes = Automaton({"he", "she", "hers", "中国", "😀"}).to_bytes();
  EXPECT_THAT(refusal(""), HasSubstr("not a saved automaton"));
  EXPECT_THAT(refusal("he\nshe\nhers\n"), HasSubstr("not a saved automaton"));
  EXPECT_THAT(refusal(bytes.substr(0, bytes.size() / 2)), HasSubstr("truncated saved automaton"));
  std::string flipped = bytes;
  flipped[bytes.size() / 2] ^= 4;
  EXPECT_THAT(refusal(flipped), HasSubstr("checksum mismatch"));
  std::string outdated = bytes;
  outdated[8] = 4;
  EXPECT_THAT(refusal(outdated), HasSubstr("format version 4"));
  const std::string path = temp_path("missing");
  std::remove(path.c_str());
  EXPECT_THAT([&] { Automaton::load(path); },
              ::testing::ThrowsMessage<FileError>(HasSubstr(path + ": cannot open")));
}

TEST(SavedAutomaton, HostileTablesWithARightChecksumAreRefusedOrHarmless) {
  // Every 32-bit field after the header set to values a hostile or buggy
  // writer might use, the checksum made right: the load refuses it, or what
  // it loaded is a sound automaton (of another dictionary, when a code
  // point was changed): it finds every occurrence of the words it reports,
  // each a true slice of the text, in the order a plain search gives.
  // Small code points keep the basic plane's symbol table short.
  const std::vector<std::string> dictionary{"he", "she", "hers", "his", "αβ", "βγ", "😀γ", "é"};
  const Automaton original(dictionary);
  const std::string bytes = original.to_bytes();
  const std::vector<std::string> texts{"ushers hishe", "xαβγ😀γé", "hhhhersαββγ"};
  std::vector<std::vector<Found>> expected;
  for (const auto& text : texts) expected.push_back(found(original.search(text)));
  std::size_t refused = 0, tried = 0, changed_results = 0;
  for (std::size_t at = 64; at + 4 <= bytes.size(); at += 4) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    for (std::uint32_t changed : {value + 1, value - 1, 0u, 1u, 0xFFFFFFFFu, value ^ 0x80000000u}) {
      if (changed == value) continue;
      std::string hostile = bytes;
      std::memcpy(hostile.data() + at, &changed, 4);
      ++tried;
      std::string message;
      try {
        const Automaton loaded = Automaton::from_bytes(kelvra::common::restamp_checksum(hostile));
        for (std::size_t i = 0; i < texts.size(); ++i) {
          const auto got = found(loaded.search(texts[i]));
          std::vector<std::u32string> words;
          for (const auto& [word, length, offset] : got)
            words.push_back(kelvra::common::utf8::decode(word, "word"));
          ASSERT_EQ(got,
                    without_ids(reference(words, kelvra::common::utf8::decode(texts[i], "text"))))
              << "byte " << at << " = " << changed;
          if (got != expected[i]) ++changed_results;
        }
        continue;
      } catch (const FileError& e) {
        message = e.what();
      }
      ++refused;
      ASSERT_THAT(message, HasSubstr("automaton bytes: ")) << "byte " << at;
    }
  }
  // Nearly every change is caught; the rest touch padding, unused table
  // entries or a code point.
  EXPECT_GT(refused, tried * 9 / 10);
  EXPECT_LT(changed_results, 20u);
}

TEST(SavedAutomaton, RefusalsNameWhatIsWrongInTheTables) {
  const std::string bytes = Automaton({"ab", "b"}).to_bytes();
  // Section offsets from the table after the header: fields, basic-plane
  // symbols, other symbols, slots, terms.
  auto section = [&](int i) {
    std::uint64_t offset;
    std::memcpy(&offset, bytes.data() + 64 + 16 * i, 8);
    return static_cast<std::size_t>(offset);
  };
  auto patched = [&](std::size_t at, std::uint32_t value) {
    std::string hostile = bytes;
    std::memcpy(hostile.data() + at, &value, 4);
    return refusal(kelvra::common::restamp_checksum(hostile));
  };
  // The alphabet is {a, b}; symbols are numbered by frequency: b is 1.
  EXPECT_THAT(patched(section(1) + 4 * 'a', 1), HasSubstr("symbol 1 stands for two code points"));
  EXPECT_THAT(patched(section(1) + 4 * 'a', 0), HasSubstr("stands for no code point"));
  // The root's own fields, then the slot of b (at its symbol, 1).
  EXPECT_THAT(patched(section(3) + 8, 5), HasSubstr("the root is not a root"));
  EXPECT_THAT(patched(section(3) + 16 + 4, 1), HasSubstr("state 1: its parent"));
  EXPECT_THAT(patched(section(3) + 16 + 8, 1), HasSubstr("failure link"));
  EXPECT_THAT(patched(section(4) + 16 + 12, 7), HasSubstr("word record"));
}

}  // namespace
}  // namespace kelvra::nlp::common::matcher
