#include "kelvra/nlp/common/embedding/embedding.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::embedding::embedding {
namespace {

using kelvra::common::FileError;
using kelvra::common::KeyError;
using kelvra::common::TypeError;
using ::testing::ElementsAre;
using ::testing::FloatEq;
using ::testing::UnorderedElementsAre;

// Vectors chosen so that every mean below is exact in floats.
constexpr const char* kVectors =
    "7 2\n"
    "中国 3 4\n"
    "中 1 0\n"
    "国 0 1\n"
    "人 -1 0\n"
    "中国人 0 -2\n"
    "zero 0 0\n"
    "ab 0 5\n";

std::string write(const std::string& content) {
  std::string path = ::testing::TempDir() + "embedding_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

class EmbeddingTest : public ::testing::Test {
 protected:
  Embedding embedding{write(kVectors)};
};

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const KeyError& e) {
    return e.what();
  }
  return "(no KeyError)";
}

// --- N-grams -------------------------------------------------------------------

TEST_F(EmbeddingTest, NgramsAreDistinctAndCountCodePoints) {
  EXPECT_THAT(embedding._compute_ngrams("一二三", 1, 3),
              ElementsAre("一", "二", "三", "一二", "二三", "一二三"));
  EXPECT_EQ(embedding._compute_ngrams("一二一", 1, 3).size(), 5u);  // 一 counted once
  EXPECT_THAT(embedding._compute_ngrams("abcd", 2, 2), ElementsAre("ab", "bc", "cd"));
  EXPECT_THAT(embedding._compute_ngrams("ab", 1, 9), ElementsAre("a", "b", "ab"));
  EXPECT_TRUE(embedding._compute_ngrams("ab", 3, 5).empty());
  EXPECT_TRUE(embedding._compute_ngrams("ab", 2, 1).empty());
  EXPECT_TRUE(embedding._compute_ngrams("", 1, 3).empty());
  // Lengths below one give nothing rather than empty strings.
  EXPECT_THAT(embedding._compute_ngrams("ab", -1, 1), ElementsAre("a", "b"));
  EXPECT_THROW(embedding._compute_ngrams("\xff", 1, 3), TypeError);
}

// --- word2vec ------------------------------------------------------------------

TEST_F(EmbeddingTest, VocabularyWordGivesItsUnitVectorWhateverTheBounds) {
  EXPECT_THAT(embedding.word2vec("中国"), ElementsAre(FloatEq(0.6f), FloatEq(0.8f)));
  EXPECT_THAT(embedding.word2vec("中国", 5, 9), ElementsAre(FloatEq(0.6f), FloatEq(0.8f)));
  EXPECT_THAT(embedding.word2vec("zero"), ElementsAre(0.0f, 0.0f));
}

TEST_F(EmbeddingTest, LongerNgramAloneBeatsKnownCharacters) {
  // 中国 is the only known n-gram longer than one character; 中 and 国 are
  // known too but ignored.
  EXPECT_THAT(embedding.word2vec("中国队"), ElementsAre(FloatEq(0.6f), FloatEq(0.8f)));
  // Two longer n-grams: their mean, not normalised again.
  EXPECT_THAT(embedding.word2vec("中国人民"), ElementsAre(FloatEq(0.3f), FloatEq(-0.1f)));
}

TEST_F(EmbeddingTest, CharactersAreTheLastResortCountedOnce) {
  // No known longer n-gram: the mean of the distinct characters 人 and 国.
  EXPECT_THAT(embedding.word2vec("人国人"), ElementsAre(FloatEq(-0.5f), FloatEq(0.5f)));
}

TEST_F(EmbeddingTest, UnknownCharactersAreSkippedNotFatal) {
  // 龘 is not in the vocabulary; 中 still is.
  EXPECT_THAT(embedding.word2vec("龘中"), ElementsAre(FloatEq(1.0f), FloatEq(0.0f)));
}

TEST_F(EmbeddingTest, NothingFoundFailsWithTheMessage) {
  EXPECT_EQ(error_of([&] { embedding.word2vec("中人", 2); }),
            "all ngrams for word 中人 absent from model");
  EXPECT_EQ(error_of([&] { embedding.word2vec(""); }), "all ngrams for word  absent from model");
  EXPECT_EQ(error_of([&] { embedding.word2vec("龘龘"); }),
            "all ngrams for word 龘龘 absent from model");
  // Vectors that cancel out count as nothing.
  EXPECT_EQ(error_of([&] { embedding.word2vec("中人x"); }),
            "all ngrams for word 中人x absent from model");
  EXPECT_THROW(embedding.word2vec("a\xc0"), TypeError);
}

TEST_F(EmbeddingTest, RegressionEmptyNgramRangeFindsOnlyVocabularyWords) {
  // max_n below min_n is a range without n-grams, not a mistake: the
  // vocabulary word is found, any other word has nothing to go on.
  EXPECT_THAT(embedding.word2vec("中国", 3, 1), ElementsAre(FloatEq(0.6f), FloatEq(0.8f)));
  EXPECT_EQ(error_of([&] { embedding.word2vec("中国队", 3, 1); }),
            "all ngrams for word 中国队 absent from model");
  EXPECT_EQ(error_of([&] { embedding.word2vec("中国队", 1, 0); }),
            "all ngrams for word 中国队 absent from model");
  // Lengths below one count from one.
  EXPECT_THAT(embedding.word2vec("人国人", 0, 1), ElementsAre(FloatEq(-0.5f), FloatEq(0.5f)));
  EXPECT_THAT(embedding.word2vec("人国人", -5, 1), ElementsAre(FloatEq(-0.5f), FloatEq(0.5f)));
}

// --- most_similar -------------------------------------------------------------

TEST_F(EmbeddingTest, MostSimilarLeavesOutTheWordAndZeroVectors) {
  auto top = embedding.most_similar("中国", 3);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].first, "国");  // 0.8
  EXPECT_FLOAT_EQ(top[0].second, 0.8f);
  EXPECT_EQ(top[1].first, "ab");  // 0.8 as well, later in the file
  EXPECT_EQ(top[2].first, "中");  // 0.6
  auto all = embedding.most_similar("中国", 100);
  EXPECT_EQ(all.size(), 5u);
  for (const auto& [word, similarity] : all) {
    EXPECT_NE(word, "中国");
    EXPECT_NE(word, "zero");
    EXPECT_FALSE(std::isnan(similarity));
  }
  EXPECT_THROW(embedding.most_similar("中国队"), KeyError);  // no substitute here
  EXPECT_THROW(embedding.most_similar("\xff"), TypeError);
  auto batch = embedding.most_similar_batch(std::vector<std::string>{"中国", "中"}, 3);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0], top);
  EXPECT_EQ(batch[1][0].first, "中国");
}

TEST_F(EmbeddingTest, SavedStoreGivesIdenticalVectorsAndNeighbours) {
  const std::string path = ::testing::TempDir() + "embedding_saved.kvwv";
  embedding.save(path);
  const Embedding loaded(path, /*binary=*/true);  // known by its first bytes
  EXPECT_TRUE(loaded.wv_from_text().mapped());
  const Embedding unpickled = Embedding::from_bytes(loaded.to_bytes());
  for (const Embedding* other : {&loaded, &unpickled}) {
    for (const char* word : {"中国", "中国队", "中国人民", "人国人", "龘中", "zero"})
      EXPECT_EQ(other->word2vec(word), embedding.word2vec(word)) << word;
    EXPECT_EQ(other->most_similar("中国", 10), embedding.most_similar("中国", 10));
    EXPECT_EQ(error_of([&] { other->word2vec("龘龘"); }),
              "all ngrams for word 龘龘 absent from model");
  }
  EXPECT_THROW(Embedding::from_bytes("7 2\n中国 3 4\n"), FileError);
}

TEST(Embedding, BadFileFailsTheConstructor) {
  EXPECT_THROW(Embedding(write("x\n")), FileError);
  EXPECT_THROW(Embedding(::testing::TempDir() + "absent.bin", true), FileError);
}

}  // namespace
}  // namespace kelvra::nlp::common::embedding::embedding
