#include "kelvra/nlp/common/embedding/embedding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::embedding::embedding {
namespace {

using kelvra::common::FileError;
using kelvra::common::KeyError;
using ::testing::ElementsAre;
using ::testing::FloatNear;
using ::testing::HasSubstr;

std::string temp_file(const std::string& content) {
  static int counter = 0;
  std::string path = ::testing::TempDir() + "kv_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                     std::to_string(counter++);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string floats(std::initializer_list<float> values) {
  std::string out(values.size() * sizeof(float), '\0');
  std::memcpy(out.data(), values.begin(), out.size());
  return out;
}

KeyedVectors load(const std::string& content, bool binary = false) {
  return KeyedVectors::load_word2vec_format(temp_file(content), binary);
}

// The message of the FileError that loading `content` throws.
std::string load_error(const std::string& content, bool binary = false) {
  try {
    load(content, binary);
  } catch (const FileError& e) {
    return e.what();
  }
  return "(loaded)";
}

// --- What real tools write -------------------------------------------------

TEST(KeyedVectorsLoad, TextVariantsGiveTheSameStore) {
  const std::string plain = "3 2\n中国 3 4\nabc -1 0\n北京 0.5 +0.5\n";
  for (const std::string& content :
       {plain, std::string("3 2\r\n中国 3 4\r\nabc -1 0 \r\n北京 0.5 +0.5\r\n"),
        std::string("3 2 \n中国\t3 4  \nabc -1 0\n\n北京 0.5 +0.5"),  // tabs, blanks, no last LF
        std::string("3 2\n中国 3e0 4.0\nabc -1 0\n北京 .5 5e-1\n\n\n")}) {
    KeyedVectors kv = load(content);
    ASSERT_EQ(kv.size(), 3u) << content;
    EXPECT_EQ(kv.vector_size(), 2u);
    EXPECT_EQ(kv.word(0), "中国");
    EXPECT_EQ(kv.word(2), "北京");
    EXPECT_THAT(kv["中国"], ElementsAre(FloatNear(0.6f, 1e-7f), FloatNear(0.8f, 1e-7f)));
    EXPECT_THAT(kv["abc"], ElementsAre(-1.0f, 0.0f));
    EXPECT_NEAR(kv["北京"][0], std::sqrt(0.5f), 1e-7f);
  }
}

TEST(KeyedVectorsLoad, BinaryWithAndWithoutLineFeeds) {
  const std::string with = "2 2\n中国 " + floats({3, 4}) + "\nab " + floats({0, -2}) + "\n";
  const std::string without = "2 2\n中国 " + floats({3, 4}) + "ab " + floats({0, -2});
  const std::string crlf = "2 2\r\n中国 " + floats({3, 4}) + "\r\nab " + floats({0, -2}) + "\r\n";
  for (const std::string& content : {with, without, crlf}) {
    KeyedVectors kv = load(content, true);
    ASSERT_EQ(kv.size(), 2u);
    EXPECT_THAT(kv["中国"], ElementsAre(FloatNear(0.6f, 1e-7f), FloatNear(0.8f, 1e-7f)));
    EXPECT_THAT(kv["ab"], ElementsAre(0.0f, -1.0f));
  }
}

TEST(KeyedVectorsLoad, BinaryVectorBytesMayLookLikeLineFeedsAndBlanks) {
  // 0x0a and 0x20 inside a vector are data, not separators.
  float tricky;
  const unsigned char bytes[4] = {0x0a, 0x20, 0x20, 0x3f};
  std::memcpy(&tricky, bytes, 4);
  KeyedVectors kv = load("2 1\nx " + floats({tricky}) + "y " + floats({tricky}), true);
  EXPECT_EQ(kv.size(), 2u);
  EXPECT_EQ(kv["y"][0], 1.0f);
}

TEST(KeyedVectorsLoad, ZeroRowStaysZeroAndRepeatedWordKeepsItsFirstVector) {
  KeyedVectors kv = load("3 2\nz 0 0\na 1 0\na 0 1\n");
  EXPECT_EQ(kv.size(), 2u);
  EXPECT_THAT(kv["z"], ElementsAre(0.0f, 0.0f));  // not NaN
  EXPECT_THAT(kv["a"], ElementsAre(1.0f, 0.0f));
  EXPECT_THROW(kv["b"], KeyError);
  EXPECT_FALSE(kv.contains("b"));
}

TEST(KeyedVectorsLoad, NumbersReadExactlyAsFromChars) {
  // The loader's quick path for plain decimals must give the very float
  // that from_chars gives, on every shape of number.
  std::mt19937 rng(5);
  std::vector<std::string> numbers = {"0",         "-0",           "+0.5",
                                      ".5",        "5.",           "00012.3400",
                                      "16777215",  "16777216",     "16777217",
                                      "1.6777217", "0.0000000001", "0.00000000001",
                                      "1e-3",      "-2.5E+2",      "123456789012345678901"};
  for (int i = 0; i < 2000; ++i) {
    std::string n = (rng() % 2 ? "-" : "") + std::to_string(rng() % 100000);
    if (rng() % 4 != 0) n += "." + std::to_string(rng() % 100000000 + 1).substr(rng() % 4);
    numbers.push_back(n);
  }
  std::string content = std::to_string(numbers.size()) + " 2\n";
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    content += "w" + std::to_string(i) + " " + numbers[i] + " 1\n";
  }
  KeyedVectors kv = load(content);
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::string& n = numbers[i];
    float v = 0;
    std::from_chars(n.data() + (n[0] == '+'), n.data() + n.size(), v);
    // The row (v, 1) scaled as the loader scales it.
    const float norm = static_cast<float>(std::sqrt(static_cast<double>(v) * v + 1.0));
    EXPECT_EQ(kv.vector(i)[0], v / norm) << n;
  }
}

// --- Bad input: path and place in the message, never a crash ------------------

TEST(KeyedVectorsLoad, MissingFileNamesThePath) {
  try {
    KeyedVectors::load_word2vec_format(::testing::TempDir() + "no_such_vectors.txt");
    FAIL();
  } catch (const FileError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no_such_vectors.txt: cannot open"));
  }
  EXPECT_THAT(load_error("", false), HasSubstr(":1: empty file"));
  EXPECT_THROW(KeyedVectors::load_word2vec_format(::testing::TempDir()), FileError);
}

TEST(KeyedVectorsLoad, BadTextInputNamesTheLine) {
  const std::string ok_row = "a 1 2\n";
  EXPECT_THAT(load_error("2\na 1\n"), HasSubstr(":1: header '2' is not two positive integers"));
  EXPECT_THAT(load_error("0 2\n"), HasSubstr(":1: header"));
  EXPECT_THAT(load_error("-1 2\na 1 2\n"), HasSubstr(":1: header"));
  EXPECT_THAT(load_error("1 2 3\na 1 2\n"), HasSubstr(":1: header"));
  EXPECT_THAT(load_error("1 x\na 1 2\n"), HasSubstr(":1: header"));
  EXPECT_THAT(load_error("1 2\na 1 \xff\xfe\n"), HasSubstr(":2: component 2 '\\xff\\xfe'"));
  EXPECT_THAT(load_error(std::string(5 << 20, '7')),
              HasSubstr(":1: header line longer than 1 KiB"));
  EXPECT_THAT(load_error("2 2\n" + ok_row + "b 1\n"),
              HasSubstr(":3: row has 1 components, the header says 2"));
  EXPECT_THAT(load_error("2 2\n" + ok_row + "b 1 2 3\n"),
              HasSubstr(":3: row has more than the header's 2 components"));
  EXPECT_THAT(load_error("1 2\na 1 zwei\n"),
              HasSubstr(":2: component 2 'zwei' is not a finite number"));
  EXPECT_THAT(load_error("1 2\na 1 2x\n"), HasSubstr(":2: component 2 '2x'"));
  EXPECT_THAT(load_error("1 2\na nan 1\n"), HasSubstr(":2: component 1 'nan'"));
  EXPECT_THAT(load_error("1 2\na +-1e3 1\n"), HasSubstr(":2: component 1 '+-1e3'"));
  EXPECT_THAT(load_error("1 2\na 1e39 1\n"), HasSubstr(":2: component 1 '1e39'"));
  EXPECT_THAT(load_error("1 2\n" + ok_row + "b 1 2\n"),
              HasSubstr(":3: more rows than the header's 1"));
  EXPECT_THAT(load_error("3 2\n" + ok_row + ok_row + "\n\n\n\n\n\n\n"),
              HasSubstr("file ends after 2 of the header's 3 rows"));
  EXPECT_THAT(load_error("1 2\n\xff\xfe 1 2\n"), HasSubstr(":2: word is not valid UTF-8"));
  // Denormal components are numbers too.
  EXPECT_EQ(load("1 2\na 1e-45 1\n").size(), 1u);
}

TEST(KeyedVectorsLoad, BadBinaryInputNamesTheEntry) {
  const std::string a = "a " + floats({1, 2});
  const std::string padding(11, '\n');  // enough bytes for the header's claim
  EXPECT_THAT(load_error("2 2\n" + a + padding, true),
              HasSubstr("file ends after 1 of the header's 2 entries"));
  EXPECT_THAT(load_error("1 2\nabcdefgh " + floats({1}), true),
              HasSubstr("entry 1: truncated: 4 of 8 vector bytes"));
  EXPECT_THAT(load_error("2 2\n" + a + "bbbbbbbbbb", true), HasSubstr("entry 2 is cut short"));
  EXPECT_THAT(load_error("2 2\n" + a.substr(0, 6), true), HasSubstr(":1: header claims 2 rows"));
  EXPECT_THAT(load_error("1 2\n" + a + "\nb " + floats({1, 2}), true),
              HasSubstr("entry 2: more entries than the header's 1"));
  EXPECT_THAT(load_error("1 2\n\xc3 " + floats({1, 2}), true),
              HasSubstr("entry 1: word is not valid UTF-8"));
  EXPECT_THAT(load_error("1 2\n " + floats({1, 2}), true), HasSubstr("entry 1: empty word"));
  EXPECT_THAT(load_error("1 1\na " + floats({NAN}), true),
              HasSubstr("entry 1: component 1 is not a finite number"));
  // A text file read as binary fails cleanly.
  EXPECT_THAT(load_error("1 2\na 1.5 2.5 3.5\n", true), HasSubstr("entry 2: more entries"));
}

TEST(KeyedVectorsLoad, LyingHeaderIsRejectedBeforeAllocating) {
  // Would be terabytes if believed.
  EXPECT_THAT(load_error("2000000000 2000000000\na 1\n"), HasSubstr(":1: header claims"));
  EXPECT_THAT(load_error("1000000 300\na 1\n"), HasSubstr("can hold at most 0"));
  EXPECT_THAT(load_error("1000000 3\n" + std::string("a 1 2 3\n"), true),
              HasSubstr("can hold at most 0"));
}

TEST(KeyedVectorsLoad, EveryTruncationAndCorruptionFailsCleanly) {
  std::mt19937 rng(7);
  std::string text = "4 3\n中国 0.1 -0.2 0.3\nab 1 2 3\nc -1e-3 4 5\n北 7 8 9\n";
  std::string binary = "4 3\n中国 " + floats({0.1f, -0.2f, 0.3f}) + "\nab " + floats({1, 2, 3}) +
                       "\nc " + floats({-1e-3f, 4, 5}) + "\n北 " + floats({7, 8, 9}) + "\n";
  for (bool is_binary : {false, true}) {
    const std::string& full = is_binary ? binary : text;
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      try {
        KeyedVectors kv = load(full.substr(0, cut), is_binary);
        // Only losing the final line feed (or a trailing number's digits) may load.
        EXPECT_EQ(kv.size(), 4u) << cut;
      } catch (const FileError&) {
      }
    }
    for (int round = 0; round < 300; ++round) {
      std::string bad = full;
      for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
      try {
        KeyedVectors kv = load(bad, is_binary);
        for (std::size_t r = 0; r < kv.size(); ++r) {
          for (float x : kv.vector(r)) EXPECT_TRUE(std::isfinite(x));
        }
      } catch (const FileError&) {
      }
    }
  }
}

// --- Similarity search ---------------------------------------------------------

// A store of `rows` random vectors of `dims`, with a few repeated vectors
// (ties) and a zero row.
std::string random_text_file(std::size_t rows, std::size_t dims, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::string out = std::to_string(rows) + " " + std::to_string(dims) + "\n";
  std::vector<std::string> lines;
  for (std::size_t r = 0; r < rows; ++r) {
    std::string line = "w" + std::to_string(r);
    for (std::size_t d = 0; d < dims; ++d) {
      line += " " + (r == 5 ? std::string("0") : std::to_string(normal(rng)));
    }
    // Rows 10.. repeat row 9's numbers: equal similarities, ordered by row.
    if (r >= 10 && r < 14) line = "w" + std::to_string(r) + lines[9].substr(2);
    lines.push_back(line);
    out += line + "\n";
  }
  return out;
}

TEST(KeyedVectorsSimilar, MatchesAFullSortAndLeavesOutSelfAndZeroRows) {
  KeyedVectors kv = load(random_text_file(300, 8, 3));
  for (std::size_t q : {0u, 9u, 10u, 77u}) {
    const std::string query(kv.word(q));
    // The plain way: every similarity, sorted.
    std::vector<std::pair<float, std::size_t>> all;
    for (std::size_t r = 0; r < kv.size(); ++r) {
      if (r == q || r == 5) continue;
      float dot = 0;
      for (std::size_t d = 0; d < 8; ++d) dot += kv.vector(q)[d] * kv.vector(r)[d];
      all.emplace_back(dot, r);
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    auto got = kv.similar_by_word(query, 25);
    ASSERT_EQ(got.size(), 25u);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].second, all[i].first, 1e-5f) << query << " #" << i;
      if (i > 0) {
        EXPECT_GE(got[i - 1].second, got[i].second);
      }
    }
    // Equal similarities come in row order (rows 9 to 13 are equal).
    for (std::size_t i = 1; i < got.size(); ++i) {
      if (got[i - 1].second == got[i].second) {
        EXPECT_LT(*kv.index(got[i - 1].first), *kv.index(got[i].first)) << query;
      }
    }
    auto whole = kv.similar_by_word(query, 1000);
    EXPECT_EQ(whole.size(), kv.size() - 2);  // neither itself nor the zero row
    for (const auto& [word, sim] : whole) {
      EXPECT_NE(word, query);
      EXPECT_NE(word, "w5");
    }
  }
  EXPECT_TRUE(kv.similar_by_word("w1", 0).empty());
  EXPECT_TRUE(kv.similar_by_word("w1", -3).empty());
  EXPECT_TRUE(kv.similar_by_word("w5", 3).empty());  // a zero vector points nowhere
  EXPECT_THROW(kv.similar_by_word("nope", 3), KeyError);
}

TEST(KeyedVectorsSimilar, BatchAgreesWithOneByOne) {
  KeyedVectors kv = load(random_text_file(500, 16, 11));
  std::vector<std::string> words;
  for (std::size_t r = 0; r < 150; ++r) words.emplace_back(kv.word((r * 37) % kv.size()));
  auto batch = kv.similar_by_words(words, 7);
  ASSERT_EQ(batch.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    auto single = kv.similar_by_word(words[i], 7);
    ASSERT_EQ(batch[i].size(), single.size()) << words[i];
    for (std::size_t k = 0; k < single.size(); ++k) {
      EXPECT_NEAR(batch[i][k].second, single[k].second, 1e-5f);
      // The order may differ only where rounding swaps near-equal scores.
      bool apart = (k == 0 || single[k - 1].second - single[k].second > 1e-5f) &&
                   (k + 1 == single.size() || single[k].second - single[k + 1].second > 1e-5f);
      if (apart) {
        EXPECT_EQ(batch[i][k].first, single[k].first);
      }
    }
  }
  std::vector<std::string> with_unknown = {"w1", "nope"};
  EXPECT_THROW(kv.similar_by_words(with_unknown, 3), KeyError);
  EXPECT_TRUE(kv.similar_by_words({}, 3).empty());
}

// --- Saved stores --------------------------------------------------------------

// Everything a caller can see of a store, compared bit for bit.
void expect_same_store(const KeyedVectors& a, const KeyedVectors& b) {
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.vector_size(), b.vector_size());
  for (std::size_t r = 0; r < a.size(); ++r) {
    ASSERT_EQ(a.word(r), b.word(r));
    ASSERT_EQ(b.index(a.word(r)), r);
    ASSERT_EQ(a.norms()[r], b.norms()[r]);
  }
  ASSERT_TRUE(
      std::equal(a.matrix().begin(), a.matrix().end(), b.matrix().begin(), b.matrix().end()));
  for (std::size_t q = 0; q < a.size(); q += 7)
    ASSERT_EQ(a.similar_by_word(a.word(q), 5), b.similar_by_word(a.word(q), 5));
  EXPECT_FALSE(b.contains("not a word"));
}

TEST(KeyedVectorsSaved, SavedLoadedAndUnpickledStoresAreTheSame) {
  // Random rows, ties, a zero row, a repeated word and words of every width.
  const std::string content =
      random_text_file(300, 8, 5) + "中国 1 2 3 4 5 6 7 8\nw3 1 1 1 1 1 1 1 1\n😀 0 0 0 0 0 0 0 1\n";
  const KeyedVectors original = load("303" + content.substr(content.find(' ')));
  ASSERT_EQ(original.size(), 302u);
  EXPECT_FLOAT_EQ(original.norms()[original.size() - 2], std::sqrt(204.0f));  // 中国 before scaling
  EXPECT_EQ(original.norms()[5], 0.0f);

  const std::string path = temp_file("");
  original.save(path);
  const KeyedVectors mapped = KeyedVectors::load_saved(path);
  EXPECT_TRUE(mapped.mapped());
  expect_same_store(original, mapped);
  // load() knows a saved store by its first bytes, whatever `binary` says.
  for (bool binary : {false, true}) expect_same_store(original, KeyedVectors::load(path, binary));
  const KeyedVectors unpickled = KeyedVectors::from_bytes(mapped.to_bytes());
  EXPECT_FALSE(unpickled.mapped());
  expect_same_store(original, unpickled);
  EXPECT_EQ(unpickled.to_bytes(), original.to_bytes());
  EXPECT_TRUE(unpickled.similar_by_word("w5", 3).empty());  // the zero row still points nowhere

  KeyedVectors moved(KeyedVectors::from_bytes(original.to_bytes()));
  KeyedVectors taken(std::move(moved));
  EXPECT_EQ(taken.size(), 302u);
  EXPECT_EQ(moved.size(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(moved.contains("w1"));
}

// The message of the FileError that reading `bytes` as a saved store throws.
std::string saved_refusal(const std::string& bytes) {
  try {
    KeyedVectors::from_bytes(bytes);
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "vector store bytes");
    return e.what();
  }
  return "(loaded)";
}

TEST(KeyedVectorsSaved, DamagedAndHostileStoresAreRefusedOrSound) {
  const std::string bytes =
      load("4 3\n中国 0.1 -0.2 0.3\nab 1 2 3\nc 0 0 0\n北 7 8 9\n").to_bytes();
  EXPECT_THAT(saved_refusal(bytes.substr(0, bytes.size() - 4)),
              HasSubstr("truncated saved vector store"));
  EXPECT_THAT(saved_refusal("4 3\n中国 0.1 -0.2 0.3\n"), HasSubstr("not a saved vector store"));
  std::string flipped = bytes;
  flipped[bytes.size() - 5] ^= 1;
  EXPECT_THAT(saved_refusal(flipped), HasSubstr("checksum mismatch"));
  EXPECT_THAT([] { KeyedVectors::load_saved(::testing::TempDir() + "no_such_store"); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("no_such_store: cannot open")));

  // Every 32-bit word after the header changed, the checksum made right:
  // refused, or a store whose every word is found at its own row and whose
  // searches give finite scores.
  std::size_t refused = 0, tried = 0;
  for (std::size_t at = 64; at + 4 <= bytes.size(); at += 4) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    for (std::uint32_t changed :
         {value + 1, value - 1, 0u, 0xFFFFFFFFu, value ^ 0x80000000u, 0x3F800001u}) {
      if (changed == value) continue;
      std::string hostile = bytes;
      std::memcpy(hostile.data() + at, &changed, 4);
      ++tried;
      try {
        const KeyedVectors kv = KeyedVectors::from_bytes(kelvra::common::restamp_checksum(hostile));
        for (std::size_t r = 0; r < kv.size(); ++r) {
          ASSERT_EQ(kv.index(kv.word(r)), r) << "byte " << at;
          for (const auto& [word, score] : kv.similar_by_word(kv.word(r), 10))
            ASSERT_TRUE(std::isfinite(score)) << "byte " << at;
        }
      } catch (const FileError& e) {
        ++refused;
        ASSERT_THAT(e.what(), HasSubstr("vector store bytes: ")) << "byte " << at;
      }
    }
  }
  // Changed numbers in the norms and vectors may well be sound.
  EXPECT_GT(refused, tried / 3);

  // What is wrong, said: a component beyond 1 in size.
  std::string beyond = bytes;
  const float big = 1.5f;
  std::memcpy(beyond.data() + beyond.size() - 4, &big, 4);  // the last component of 北
  EXPECT_THAT(saved_refusal(kelvra::common::restamp_checksum(beyond)),
              HasSubstr("row 3, component 3 is not within [-1, 1]"));
}

// --- Pipes and FIFOs --------------------------------------------------------------

// Loads `content` through a pipe, as `load` sees /dev/stdin or <(...).
KeyedVectors load_through_pipe(const std::string& content, bool binary) {
  ::signal(SIGPIPE, SIG_IGN);  // a refusal may come before the writer is done
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe");
  std::thread writer([&] {
    for (std::size_t done = 0; done < content.size();) {
      const ssize_t n = ::write(ends[1], content.data() + done, content.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(ends[1]);
  });
  struct Join {
    std::thread& thread;
    int fd;
    ~Join() {
      ::close(fd);  // a writer still blocked sees the reader gone
      thread.join();
    }
  } join{writer, ends[0]};
  return KeyedVectors::load("/dev/fd/" + std::to_string(ends[0]), binary);
}

std::string error_of_pipe(const std::string& content, bool binary) {
  try {
    load_through_pipe(content, binary);
  } catch (const FileError& e) {
    return e.what();
  }
  return "(loaded)";
}

TEST(KeyedVectorsPipes, AStreamGivesTheStoreItsFileGives) {
  // More rows than are reserved for a stream, so that its tables grow.
  const std::string text = random_text_file(5000, 4, 11) + "w7 1 2 3 4\n";
  const std::string file_text = "5001" + text.substr(text.find(' '));
  expect_same_store(load(file_text), load_through_pipe(file_text, false));
  std::string binary =
      "3 2\n中国 " + floats({3, 4}) + "\n人 " + floats({0, 1}) + "中 " + floats({1, 0});
  expect_same_store(load(binary, true), load_through_pipe(binary, true));
  // A stream is not measured against its header: it ends where it ends.
  EXPECT_THAT(error_of_pipe("9 2\na 1 2\n", false),
              HasSubstr("file ends after 1 of the header's 9"));
  // Empty: whether its writer has gone by the time it is read or not.
  EXPECT_THAT(error_of_pipe("", false), HasSubstr("empty"));
  // A saved store cannot be mapped from a pipe, and is not a word2vec file.
  EXPECT_THAT(error_of_pipe(load(binary, true).to_bytes(), true),
              HasSubstr("a saved vector store cannot be read from a pipe or a device"));
}

TEST(KeyedVectorsPipes, AFifoIsReadFromOneOpeningOrRefusedAtOnce) {
  const std::string fifo = temp_file("") + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  {
    // What a writer left in it is read, whether or not the writer is gone.
    const int keeper = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    const std::string content = "1 2\nab 3 4\n";
    ASSERT_EQ(::write(writer, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ::close(writer);
    EXPECT_EQ(KeyedVectors::load(fifo).word(0), "ab");
    ::close(keeper);
  }
  for (bool binary : {false, true}) {
    try {
      KeyedVectors::load(fifo, binary);
      ADD_FAILURE() << "loaded";
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("cannot read: nothing writes to this pipe"));
    }
  }
  try {
    KeyedVectors::load_saved(fifo);
    ADD_FAILURE() << "loaded";
  } catch (const FileError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot map: not a regular file"));
  }
  ::unlink(fifo.c_str());
}

}  // namespace
}  // namespace kelvra::nlp::common::embedding::embedding
