#include "kelvra/nlp/common/feature/types.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::feature::types {
namespace {

using kelvra::common::KvException;
using kelvra::common::TypeError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(Types, NamesRoundTrip) {
  for (Types type : kAllTypes) EXPECT_EQ(from_name(name(type)), type);
  EXPECT_EQ(name(Types::DEPENDENCY), "DEPENDENCY");
  EXPECT_THAT(names({Types::NER, Types::WORD}), ElementsAre("NER", "WORD"));
}

TEST(Types, ReadsCommaListsAndRecords) {
  EXPECT_THAT(from_names("WORD, NER ,POS"), ElementsAre(Types::WORD, Types::NER, Types::POS));
  EXPECT_THAT(from_record(Record::parse(R"(["SENTENCE","WORD"])")),
              ElementsAre(Types::SENTENCE, Types::WORD));
  EXPECT_TRUE(from_record(Record::array()).empty());
}

TEST(Types, RejectsUnknownNamesAndWrongKinds) {
  try {
    from_names("WORD,ner");
    FAIL();
  } catch (const KvException& e) {
    EXPECT_THAT(e.what(), HasSubstr("unknown feature type `ner`; known types: WORD, POS, NER"));
  }
  EXPECT_THROW(from_names("WORD,"), KvException);
  try {
    from_record(Record("WORD"));
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "types");
  }
  EXPECT_THROW(from_record(Record::parse("[1]")), TypeError);
}

}  // namespace
}  // namespace kelvra::nlp::common::feature::types
