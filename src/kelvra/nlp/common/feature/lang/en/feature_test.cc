#include "kelvra/nlp/common/feature/lang/en/feature.h"

#include <sstream>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"

namespace kelvra::nlp::common::feature::lang::en {
namespace {

using kelvra::common::KeyError;
using kelvra::common::TypeError;

// Runs `f`, expecting a TypeError naming `parameter`.
template <class F>
void expect_type_error(F f, const std::string& parameter) {
  try {
    f();
    ADD_FAILURE() << "no TypeError for " << parameter;
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), parameter) << e.what();
  }
}

// --- Word ---

TEST(EnWord, FourArgumentsSerialiseWithEmptyPosAndSixNulls) {
  Word word(0, "Hi", 0, 2);
  EXPECT_EQ(word.to_json().dump(),
            R"({"id":0,"text":"Hi","offset":0,"length":2,"pos":"","sentence_id":null,)"
            R"("clause_id":null,"parent":null,"relation":null,"mask":null,"lemma":null})");
  EXPECT_EQ(word.to_string(),
            "{'id': 0, 'text': 'Hi', 'offset': 0, 'length': 2, 'pos': '', 'sentence_id': None, "
            "'clause_id': None, 'parent': None, 'relation': None, 'mask': None, 'lemma': None}");
  std::ostringstream os;
  os << word;
  EXPECT_EQ(os.str(), word.to_string());
}

TEST(EnWord, DesignatedOptionsMatchPositionalArguments) {
  Word named(3, "dogs", 10, 4, {.pos = "NNS", .parent = 1, .mask = false, .lemma = "dog"});
  Word positional(3, "dogs", 10, 4, "NNS", std::nullopt, std::nullopt, 1, std::nullopt, false,
                  "dog");
  EXPECT_EQ(named, positional);
  EXPECT_EQ(named.to_string(),
            "{'id': 3, 'text': 'dogs', 'offset': 10, 'length': 4, 'pos': 'NNS', "
            "'sentence_id': None, 'clause_id': None, 'parent': 1, 'relation': None, "
            "'mask': False, 'lemma': 'dog'}");
}

TEST(EnWord, EqualityCountsEveryField) {
  Word a(1, "ran", 3, 3, "VBD", 0, 0, 2, "root", true, "run");
  EXPECT_EQ(a, Word(1, "ran", 3, 3, "VBD", 0, 0, 2, "root", true, "run"));
  Word other_lemma = a;
  other_lemma.lemma = "ran";
  EXPECT_NE(a, other_lemma);
  Word no_mask = a;
  no_mask.mask.reset();
  EXPECT_NE(a, no_mask);
  Word other_pos = a;
  other_pos.pos = "VBN";
  EXPECT_NE(a, other_pos);
}

TEST(EnWord, RoundTripsThroughJson) {
  for (const Word& word :
       {Word(0, "a", 0, 1), Word(1, "ran", 3, 3, "VBD", 0, 0, 2, "root", true, "run"),
        Word(2, "x", 5, 1, {.mask = false, .lemma = ""})}) {
    EXPECT_EQ(Word::from_json(word.to_json()), word) << word;
  }
}

TEST(EnWord, FromJsonReadsAnyOrderWithDefaults) {
  Word read = Word::from_json(Record::parse(
      R"({"lemma":"be","length":2.9,"offset":3.0,"text":"is","id":7,"extra":{"a":1}})"));
  EXPECT_EQ(read, Word(7, "is", 3, 2, {.lemma = "be"}));
  EXPECT_EQ(read.pos, "");
  // Present but null gives absent, not the default.
  Word nulls = Word::from_json(Record::parse(
      R"({"id":0,"text":"a","offset":0,"length":1,"mask":null,"lemma":null,"parent":null})"));
  EXPECT_FALSE(nulls.mask.has_value());
  EXPECT_FALSE(nulls.lemma.has_value());
}

TEST(EnWord, FromJsonRejectsValuesOfTheWrongKind) {
  auto parse = [](const char* text) { return Word::from_json(Record::parse(text)); };
  expect_type_error([&] { parse(R"({"id":0,"text":"a","offset":0,"length":1,"pos":null})"); },
                    "pos");
  expect_type_error([&] { parse(R"({"id":0,"text":"a","offset":0,"length":1,"mask":1})"); },
                    "mask");
  expect_type_error([&] { parse(R"({"id":0,"text":"a","offset":0,"length":1,"lemma":5})"); },
                    "lemma");
  expect_type_error([&] { parse(R"({"id":0,"text":null,"offset":0,"length":1})"); }, "text");
  expect_type_error([&] { parse(R"({"id":"0","text":"a","offset":0,"length":1})"); }, "id");
  expect_type_error([&] { Word::from_json(Record::array()); }, "json");
  expect_type_error([&] { Word(0, "a", 0, 1, {.lemma = "bad\xFF"}); }, "lemma");
  try {
    parse(R"({"text":"a","offset":0})");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "id");
  }
  try {
    parse(R"({"id":0,"text":"a","offset":0})");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "length");
  }
}

// --- FeatureSet ---

TEST(EnFeatureSet, DefaultSerialisesAsNulls) {
  FeatureSet empty;
  EXPECT_EQ(empty.to_json().dump(), R"({"nes":null,"words":null,"sentences":null,"text":null})");
  EXPECT_EQ(empty.to_string(), "{'nes': None, 'words': None, 'sentences': None, 'text': None}");
  FeatureSet with_empty_sentences(std::nullopt, std::nullopt, std::vector<Sentence>{});
  EXPECT_EQ(with_empty_sentences.to_json()["sentences"], Record::array());
}

TEST(EnFeatureSet, KeysComeNesFirstAndTextFormMatchesJson) {
  FeatureSet doc(
      std::vector<Word>{Word(0, "He", 0, 2, {.pos = "PRP"}),
                        Word(1, "ran", 3, 3, {.pos = "VBD", .lemma = "run"})},
      std::vector<Entity>{Entity(Record::parse(R"({"offset":0,"length":2,"type":"PER"})"))},
      std::vector<Sentence>{Sentence(0, 0, 7, "He ran.")}, "He ran.");
  Record json = doc.to_json();
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"nes", "words", "sentences", "text"}));
  EXPECT_EQ(json["words"][1]["lemma"], "run");
  EXPECT_EQ(json["nes"][0]["type"], "PER");
  EXPECT_EQ(doc.to_string(), kelvra::common::to_text_form(json));
  std::ostringstream os;
  os << doc;
  EXPECT_EQ(os.str(), doc.to_string());
  EXPECT_EQ(FeatureSet::from_json(json), doc);
}

TEST(EnFeatureSet, AbsentAndEmptyListsSurviveARoundTrip) {
  FeatureSet missing = FeatureSet::from_json(Record::parse(R"({"text":"x","sentences":null})"));
  EXPECT_FALSE(missing.sentences.has_value());
  EXPECT_FALSE(missing.words.has_value());
  EXPECT_FALSE(missing.nes.has_value());
  EXPECT_EQ(missing.to_json().dump(), R"({"nes":null,"words":null,"sentences":null,"text":"x"})");

  FeatureSet empty = FeatureSet::from_json(
      Record::parse(R"({"sentences":[],"words":[],"nes":[],"text":null,"other":1})"));
  ASSERT_TRUE(empty.sentences.has_value());
  EXPECT_TRUE(empty.sentences->empty());
  EXPECT_EQ(empty.to_json().dump(), R"({"nes":[],"words":[],"sentences":[],"text":null})");
  EXPECT_NE(empty, missing);
}

TEST(EnFeatureSet, FromJsonRejectsBadInputWhole) {
  expect_type_error([] { FeatureSet::from_json(Record("text")); }, "feature_set_json");
  expect_type_error([] { FeatureSet::from_json(Record::parse(R"({"sentences":{}})")); },
                    "sentences");
  expect_type_error([] { FeatureSet::from_json(Record::parse(R"({"text":3})")); }, "text");
  // One bad word fails the whole document.
  EXPECT_THROW(FeatureSet::from_json(Record::parse(
                   R"({"words":[{"id":0,"text":"a","offset":0,"length":1},{"id":1}]})")),
               KeyError);
}

}  // namespace
}  // namespace kelvra::nlp::common::feature::lang::en
