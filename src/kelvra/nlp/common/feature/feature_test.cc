#include "kelvra/nlp/common/feature/feature.h"

#include <sstream>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::feature {
namespace {

using kelvra::common::KeyError;
using kelvra::common::TypeError;

TEST(Word, SerialisesItsNineFieldsInOrder) {
  Word word(0, "你", 0, 1);
  EXPECT_EQ(word.to_json().dump(),
            R"({"id":0,"text":"你","offset":0,"length":1,"pos":"","sentence_id":null,)"
            R"("clause_id":null,"parent":null,"relation":null})");
  EXPECT_EQ(word.to_string(),
            "{'id': 0, 'text': '你', 'offset': 0, 'length': 1, 'pos': '', 'sentence_id': None, "
            "'clause_id': None, 'parent': None, 'relation': None}");
}

TEST(Word, RoundTripsAndReadsAnyKeyOrder) {
  Word word(3, "run", 10, 3, "VB", 1, 2, 0, "nsubj");
  EXPECT_EQ(Word::from_json(word.to_json()), word);
  Word read = Word::from_json(
      Record::parse(R"({"length": 2.9, "offset": 1, "text": "ab", "id": 7, "unknown": [1]})"));
  EXPECT_EQ(read, Word(7, "ab", 1, 2));
}

TEST(Word, FromJsonRejectsBadValues) {
  EXPECT_THROW(
      Word::from_json(Record::parse(R"({"id":0,"text":"a","offset":0,"length":1,"pos":null})")),
      TypeError);
  try {
    Word::from_json(Record::parse(R"({"id":0,"offset":0,"length":1})"));
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "text");
  }
  EXPECT_THROW(Word::from_json(Record::array()), TypeError);
  EXPECT_THROW(Word(0, "bad\xFF", 0, 1), TypeError);
}

TEST(Sentence, SerialisesWithItsClauses) {
  Sentence sentence(1, 3, 3, "再见！", {Clause(0, "done", 3, 3, "再见！")});
  EXPECT_EQ(sentence.to_json().dump(),
            R"({"id":1,"offset":3,"length":3,"text":"再见！","clauses":)"
            R"([{"id":0,"tense":"done","offset":3,"length":3,"text":"再见！"}]})");
  EXPECT_EQ(Sentence::from_json(sentence.to_json()), sentence);
  std::ostringstream os;
  os << sentence.clauses[0];
  EXPECT_EQ(os.str(), "{'id': 0, 'tense': 'done', 'offset': 3, 'length': 3, 'text': '再见！'}");
}

TEST(Entity, KeepsEveryKeyAsGiven) {
  Record record = Record::parse(R"({"type":"PER","spans":[{"offset":1,"length":2}],"x":null})");
  Entity entity = Entity::from_json(record);
  EXPECT_EQ(entity.to_json(), record);
  EXPECT_EQ(entity.to_json().dump(), record.dump());
  EXPECT_THROW(Entity::from_json(Record(1)), TypeError);
}

TEST(FeatureSet, AbsentAndEmptyListsStayDistinct) {
  EXPECT_EQ(FeatureSet().to_json().dump(), R"({"words":null,"nes":null})");
  FeatureSet empty(std::vector<Word>{}, std::vector<Entity>{});
  EXPECT_EQ(empty.to_json().dump(), R"({"words":[],"nes":[]})");
  EXPECT_EQ(FeatureSet::from_json(empty.to_json()), empty);
  EXPECT_EQ(FeatureSet::from_json(Record::object()), FeatureSet());

  FeatureSet full(std::vector<Word>{Word(0, "a", 0, 1)},
                  std::vector<Entity>{Entity(Record{{"offset", 0}, {"length", 1}})});
  EXPECT_EQ(FeatureSet::from_json(full.to_json()), full);
}

}  // namespace
}  // namespace kelvra::nlp::common::feature
