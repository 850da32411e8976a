#include "kelvra/nlp/common/normalizer.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <opencc/SimpleConverter.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::normalizer {
namespace {

using kelvra::common::FileError;
using kelvra::common::TypeError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const Normalizer& normalizer() {
  static const Normalizer instance({});
  return instance;
}

// The result of the streaming form, gathered into a Text.
Text streamed(const Normalizer& n, std::string_view text, bool q2b = true, bool replace = true,
              bool to_zhs = true) {
  std::string normalized;
  std::vector<AlterWord> changes;
  int texts = 0;
  n.normalize(
      text,
      [&](std::string_view value) {
        normalized = value;
        ++texts;
        EXPECT_TRUE(changes.empty()) << "the text comes before the changes";
      },
      [&](std::string_view in, std::string_view value, std::int64_t offset) {
        changes.emplace_back(std::string(in), std::string(value), offset);
      },
      q2b, replace, to_zhs);
  EXPECT_EQ(texts, 1);
  return Text(std::string(text), normalized, changes);
}

// --- normalize ---

TEST(Normalize, StreamingFormGivesWhatTheListFormHolds) {
  const std::string mixed =
      "頭髮Ａ\x07，後來\t我們 ＡＢＣ１２３ 😀臺灣\x01"
      "abc";
  for (int steps = 0; steps < 8; ++steps) {
    const bool q2b = steps & 1, replace = steps & 2, to_zhs = steps & 4;
    EXPECT_EQ(streamed(normalizer(), mixed, q2b, replace, to_zhs),
              normalizer().normalize(mixed, q2b, replace, to_zhs))
        << "steps " << steps;
  }
  EXPECT_EQ(streamed(normalizer(), ""), normalizer().normalize(""));
  bool called = false;
  EXPECT_THROW(normalizer().normalize(
                   "a\xff", [&](auto) { called = true; }, [&](auto...) { called = true; }),
               TypeError);
  EXPECT_FALSE(called);
}

TEST(Normalize, EmptyTextGivesEmptyResultWhateverTheSwitches) {
  for (int mask = 0; mask < 8; ++mask) {
    Text result = normalizer().normalize("", mask & 1, mask & 2, mask & 4);
    EXPECT_EQ(result, Text("", "", {}));
  }
}

TEST(Normalize, UnchangedTextReportsNothing) {
  Text result = normalizer().normalize("简体中文, plain text.\t\n");
  EXPECT_EQ(result.normalized_text, result.text);
  EXPECT_EQ(result.to_json()["alter_words"], Record::array());
  // With every step off nothing changes, even where steps would.
  Text off = normalizer().normalize("頭髮Ａ\x07", false, false, false);
  EXPECT_EQ(off, Text("頭髮Ａ\x07", "頭髮Ａ\x07", {}));
}

TEST(Normalize, FullWidthLetterAtPositionFour) {
  Text result = normalizer().normalize("abcdＡ");
  EXPECT_EQ(result.normalized_text, "abcdA");
  ASSERT_EQ(result.alter_words->size(), 1u);
  EXPECT_EQ((*result.alter_words)[0].to_string(),
            "{'text': 'Ａ', 'normalized_text': 'A', 'offset': 4}");
}

TEST(Normalize, TraditionalCharacterIsReportedWithOtherStepsOff) {
  Text result = normalizer().normalize("我的頭髮", false, false, true);
  EXPECT_EQ(result.normalized_text, "我的头发");
  EXPECT_THAT(*result.alter_words, ElementsAre(AlterWord("頭", "头", 2), AlterWord("髮", "发", 3)));
}

TEST(Normalize, ConvertIsTheFirstStepAlone) {
  const Normalizer normalizer({});
  for (std::string text : {"乾隆的頭髮", "", "ＡＢ\x07著作", "a\0頭"}) {
    EXPECT_EQ(normalizer.convert(text),
              normalizer.normalize(text, false, false, true).normalized_text);
  }
  EXPECT_THROW(normalizer.convert("\xC3"), kelvra::common::TypeError);
}

TEST(Normalize, StepsCombinePerPositionAndReportOnce) {
  // Traditional, control, format, full-width and ideographic space together.
  Text result = normalizer().normalize("頭\x07Ｂ\u200b　x");
  EXPECT_EQ(result.normalized_text, "头 B  x");
  EXPECT_THAT(*result.alter_words, ElementsAre(AlterWord("頭", "头", 0), AlterWord("\x07", " ", 1),
                                               AlterWord("Ｂ", "B", 2), AlterWord("\u200b", " ", 3),
                                               AlterWord("\u3000", " ", 4)));
  // Only the switched-on steps apply.
  EXPECT_EQ(normalizer().normalize("頭\x07Ｂ", true, false, false).normalized_text,
            "頭\x07"
            "B");
  EXPECT_EQ(normalizer().normalize("頭\x07Ｂ", false, true, false).normalized_text, "頭 Ｂ");
}

TEST(Normalize, ConversionEqualsOpenCCOnRandomText) {
  // With only the conversion on, normalized_text is OpenCC's t2s of the
  // whole text, its phrase entries (乾隆, 著作, 瞭解) included, and each
  // change is one position of it.
  opencc::SimpleConverter t2s("t2s");
  const std::vector<std::string> pieces = {"乾", "隆", "著", "作", "瞭",   "解",   "頭",   "髮",
                                           "的", "𠮶", "a",  "\n", "乾隆", "著作", "瞭解", "Ａ"};
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = random() % 30; i > 0; --i) {
      if (random() % 2)
        kelvra::common::utf8::append(text, 0x4E00 + random() % 0x5200);
      else
        text += pieces[random() % pieces.size()];
    }
    const Text result = normalizer().normalize(text, false, false, true);
    const std::string expected = t2s.Convert(text);
    ASSERT_EQ(result.normalized_text, expected) << text;
    for (const AlterWord& change : *result.alter_words)
      EXPECT_EQ(kelvra::common::utf8::substr(expected, change.offset, 1), change.normalized_text)
          << text;
  }
}

TEST(Normalize, ValidCharactersAreKept) {
  Normalizer keeping({"\u200b"});
  EXPECT_EQ(keeping.validChrList(), ValidChrList{"\u200b"});
  Text result = keeping.normalize("a\u200bb\x01");
  EXPECT_EQ(result.normalized_text, "a\u200bb ");
  EXPECT_THAT(*result.alter_words, ElementsAre(AlterWord("\x01", " ", 3)));
}

TEST(Normalize, RejectsInvalidUtf8NamingText) {
  try {
    normalizer().normalize("ab\xE4\xB8");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "text");
  }
}

TEST(Normalize, MissingConfigurationIsAFileErrorNamingIt) {
  try {
    Normalizer broken({}, "no-such-config.json");
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "no-such-config.json");
    EXPECT_THAT(e.what(), HasSubstr("no-such-config.json"));
  }
}

// A converter whose data changes the length: the whole-text result cannot be
// matched to positions, so every input position is converted alone. Nothing
// is lost and offsets stay in input coordinates, also after a position whose
// value grew.
TEST(Normalize, RegressionConverterChangingLengthLosesNoText) {
  auto dir = std::filesystem::path(::testing::TempDir()) / "normalizer_length_change";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "dict.txt") << "乾\t干燥\n頭髮\t发\n";
  std::ofstream(dir / "config.json")
      << R"({"name": "grow", "segmentation": {"type": "mmseg", "dict": {"type": "text", "file": ")"
      << (dir / "dict.txt").string()
      << R"("}}, "conversion_chain": [{"dict": {"type": "text", "file": ")"
      << (dir / "dict.txt").string() << R"("}}]})";
  Normalizer growing({}, (dir / "config.json").string());

  Text result = growing.normalize("乾\x01Ａ乾");
  EXPECT_EQ(result.normalized_text, "干燥 A干燥");
  EXPECT_THAT(*result.alter_words,
              ElementsAre(AlterWord("乾", "干燥", 0), AlterWord("\x01", " ", 1),
                          AlterWord("Ａ", "A", 2), AlterWord("乾", "干燥", 3)));
  // Shorter: the phrase cannot be split over its two positions, which keep
  // their own per-character conversions instead of ending the text early.
  Text shorter = growing.normalize("頭髮Ａ", true, true, true);
  EXPECT_EQ(shorter.normalized_text, "頭髮A");
  EXPECT_THAT(*shorter.alter_words, ElementsAre(AlterWord("Ａ", "A", 2)));
  // Per-position conversion still leaves the other steps to the switches.
  EXPECT_EQ(growing.normalize("乾\x01", false, false, true).normalized_text, "干燥\x01");
  // The streaming form walks the positions again with the same conversions.
  EXPECT_EQ(streamed(growing, "乾\x01Ａ乾"), result);
  EXPECT_EQ(streamed(growing, "頭髮Ａ"), shorter);
}

// Regression: the converter stops at NUL, so everything after one was lost
// (and reported as changed into ""), and a NUL anywhere sent the whole text
// to one-character-at-a-time conversion, splitting phrases.
TEST(Normalize, RegressionNulKeepsItsPlaceAndTheTextAfterIt) {
  using namespace std::string_literals;
  Text result = normalizer().normalize("a\0頭b"s);
  EXPECT_EQ(result.normalized_text, "a 头b");
  EXPECT_THAT(*result.alter_words, ElementsAre(AlterWord("\0"s, " ", 1), AlterWord("頭", "头", 2)));
  // With only the conversion on, the NUL stays a NUL.
  Text converted = normalizer().normalize("a\0頭b"s, false, false, true);
  EXPECT_EQ(converted.normalized_text, "a\0头b"s);
  EXPECT_THAT(*converted.alter_words, ElementsAre(AlterWord("頭", "头", 2)));

  const std::string nuls = std::string(100000, '\0') + "頭";
  Text many = normalizer().normalize(nuls, false, false, true);
  EXPECT_EQ(many.normalized_text, std::string(100000, '\0') + "头");
  ASSERT_EQ(many.alter_words->size(), 1u);
  EXPECT_EQ(many.alter_words->front().offset, 100000);

  // Phrases on either side of a NUL convert as phrases (乾隆 is a name and
  // keeps its 乾; alone, 乾 becomes 干).
  EXPECT_EQ(normalizer().normalize("乾隆\0乾隆"s, false, false, true).normalized_text,
            "乾隆\0乾隆"s);
  EXPECT_EQ(normalizer().normalize("乾", false, false, true).normalized_text, "干");
}

// --- records ---

TEST(AlterWordRecord, TextFormEscapesLikeTheRecordTextForm) {
  EXPECT_EQ(AlterWord("\u3000", " ", 7).to_string(),
            "{'text': '\\u3000', 'normalized_text': ' ', 'offset': 7}");
  EXPECT_EQ(AlterWord("\t", " ", 0).to_string(),
            "{'text': '\\t', 'normalized_text': ' ', 'offset': 0}");
  std::ostringstream os;
  os << AlterWord("'", "\"", 1);
  EXPECT_EQ(os.str(), R"({'text': "'", 'normalized_text': '"', 'offset': 1})");
}

TEST(AlterWordRecord, JsonRoundTripAndBadFields) {
  AlterWord word("Ｂ", "B", 3);
  EXPECT_EQ(word.to_json().dump(), R"({"text":"Ｂ","normalized_text":"B","offset":3})");
  EXPECT_EQ(AlterWord::from_json(
                Record::parse(R"({"offset":3.7,"normalized_text":"B","text":"Ｂ","x":1})")),
            word);
  EXPECT_THROW(AlterWord::from_json(Record::parse(R"({"text":"a","offset":1})")),
               kelvra::common::KeyError);
  EXPECT_THROW(
      AlterWord::from_json(Record::parse(R"({"text":1,"normalized_text":"b","offset":1})")),
      TypeError);
  EXPECT_THROW(AlterWord::from_json(Record::array()), TypeError);
  EXPECT_THROW(AlterWord("\xFF", "a", 0), TypeError);
}

TEST(TextRecord, AbsentAlterWordsStayNullBothWays) {
  Text text = normalizer().normalize("頭");
  EXPECT_EQ(
      text.to_json().dump(),
      R"({"text":"頭","normalized_text":"头","alter_words":[{"text":"頭","normalized_text":"头","offset":0}]})");
  EXPECT_EQ(Text::from_json(text.to_json()), text);

  text.alter_words.reset();
  EXPECT_TRUE(text.to_json()["alter_words"].is_null());
  EXPECT_FALSE(Text::from_json(text.to_json()).alter_words.has_value());
  EXPECT_EQ(text.to_string(), "{'text': '頭', 'normalized_text': '头', 'alter_words': None}");
  EXPECT_THROW(
      Text::from_json(Record::parse(R"({"text":"a","normalized_text":"a","alter_words":{}})")),
      TypeError);
}

}  // namespace
}  // namespace kelvra::nlp::common::normalizer
