#include "kelvra/nlp/common/stitcher.h"

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::stitcher {
namespace {

using kelvra::common::KeyError;
using kelvra::common::KvException;
using kelvra::common::TypeError;

TEST(Stitcher, ShiftsEntitiesInPlaceAndConcatenates) {
  auto segments = Record::parse(R"([
      {"offset": 0, "nes": [{"offset": 5, "length": 2}]},
      {"offset": 120, "text": "x", "nes": [{"offset": 5, "length": 2}]}])");
  auto merged = Stitcher().merge(segments, "ner");
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0]["offset"], 5);
  EXPECT_EQ(merged[1]["offset"], 125);
  EXPECT_EQ(segments[1]["nes"][0]["offset"], 125);  // changed where it stands
}

TEST(Stitcher, ShiftsSpansOnlyWithoutATopLevelOffset) {
  auto segments = Record::parse(R"([
      {"offset": 50, "nes": [{"offset": 3, "spans": [{"offset": 3}, {"offset": 10}]}]},
      {"offset": 40, "nes": [{"spans": [{"offset": 2}, {"offset": 9}], "type": "T"}]}])");
  auto merged = Stitcher().merge(segments, "ner");
  EXPECT_EQ(merged[0].dump(), R"({"offset":53,"spans":[{"offset":3},{"offset":10}]})");
  EXPECT_EQ(merged[1].dump(), R"({"spans":[{"offset":42},{"offset":49}],"type":"T"})");
}

TEST(Stitcher, ShiftsHeadAndTailOfRelations) {
  std::vector<Record> segments{Record::parse(
      R"({"offset": 100, "relations": [{"head": {"offset": 4}, "tail": {"offset": 17, "spans": [{"offset": 1}]}, "label": "r"}]})")};
  auto merged = Stitcher().merge(segments, "relation");
  EXPECT_EQ(merged[0].dump(),
            R"({"head":{"offset":104},"tail":{"offset":117,"spans":[{"offset":1}]},"label":"r"})");
}

TEST(Stitcher, EmptyInputsAndRepeatedMerges) {
  std::vector<Record> none;
  EXPECT_TRUE(Stitcher().merge(none, "ner").empty());
  EXPECT_TRUE(Stitcher().merge(none, "relation").empty());
  auto segments = Record::parse(R"([{"offset": 10, "nes": []}, {"offset": 7, "nes": [{"offset": 1}]}])");
  Stitcher().merge(segments, "ner");
  EXPECT_EQ(Stitcher().merge(segments, "ner")[0]["offset"], 15);  // shifted twice
}

TEST(Stitcher, Failures) {
  auto segments = Record::parse(R"([{"offset": 1, "nes": [{"offset": 1}]}])");
  for (const char* type : {"NER", "relations"}) {
    EXPECT_THROW(Stitcher().merge(segments, type), KvException);
  }
  EXPECT_EQ(segments[0]["nes"][0]["offset"], 1);  // nothing read or changed
  Record not_a_list = Record::object();
  EXPECT_THROW(Stitcher().merge(not_a_list, "ner"), TypeError);

  auto missing_nes = Record::parse(R"([{"offset": 1}])");
  EXPECT_THROW(Stitcher().merge(missing_nes, "ner"), KeyError);
  auto no_position = Record::parse(R"([{"offset": 1, "nes": [{"length": 1}]}])");
  EXPECT_THROW(Stitcher().merge(no_position, "ner"), KeyError);
  auto no_tail = Record::parse(R"([{"offset": 1, "relations": [{"head": {"offset": 1}}]}])");
  EXPECT_THROW(Stitcher().merge(no_tail, "relation"), KeyError);
  auto text_position = Record::parse(R"([{"offset": 1, "nes": [{"offset": "3"}]}])");
  EXPECT_THROW(Stitcher().merge(text_position, "ner"), TypeError);
}

TEST(Stitcher, RealPositionsStayReal) {
  auto segments = Record::parse(R"([{"offset": 2, "nes": [{"offset": 1.5}]}])");
  EXPECT_EQ(Stitcher().merge(segments, "ner")[0]["offset"], 3.5);
}

}  // namespace
}  // namespace kelvra::nlp::common::stitcher
