#include "kelvra/nlp/common/internal/converter.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <opencc/SimpleConverter.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::internal {
namespace {

using namespace std::string_literals;
namespace utf8 = kelvra::common::utf8;

const Converter& t2s() {
  static const Converter instance("t2s");
  return instance;
}

// An OpenCC configuration of text dictionaries, made for the running test:
// `segmentation` holds the content of the segmentation's dictionary, `chain`
// that of each conversion's dictionary, in order.
std::string config_file(const std::string& segmentation, const std::vector<std::string>& chain) {
  const auto dir =
      std::filesystem::path(::testing::TempDir()) /
      ("converter_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  std::filesystem::create_directories(dir);
  const auto text_dict = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir / name) << content;
    return R"({"type": "text", "file": ")" + (dir / name).string() + "\"}";
  };
  std::string conversions;
  for (std::size_t i = 0; i < chain.size(); ++i)
    conversions += std::string(i ? ", " : "") + R"({"dict": )" +
                   text_dict("chain" + std::to_string(i), chain[i]) + "}";
  std::ofstream(dir / "config.json")
      << R"({"name": "test", "segmentation": {"type": "mmseg", "dict": )"
      << text_dict("segmentation", segmentation) << R"(}, "conversion_chain": [)" << conversions
      << "]}";
  return (dir / "config.json").string();
}

// --- equal to OpenCC's whole-text conversion ---

TEST(Converter, EqualsOpenCCOnRandomText) {
  // Phrase entries (乾隆, 著作, 瞭解, 於是, 反覆) and their characters alone,
  // next to characters no phrase uses, line feeds, ASCII and code points
  // beyond 16 bits (𠁞 and 𠐊 convert, 𠮶 does not); and random ideographs
  // of both planes, most of them met for the first time inside a long text.
  opencc::SimpleConverter plain("t2s");
  const std::vector<std::string> pieces = {"乾",   "隆",   "著",   "作",   "瞭",   "解", "於", "是",
                                           "覆",   "蓋",   "藉",   "口",   "頭",   "髮", "的", "了",
                                           "𠮶",   "a",    " ",    "，",   "\n",   "1",  "後", "麼",
                                           "乾隆", "著作", "瞭解", "反覆", "於是", "𠁞", "𠐊"};
  std::mt19937 random(11);
  for (int round = 0; round < 600; ++round) {
    std::string text;
    const int length = round < 500 ? random() % 40 : 2000;
    for (int i = length; i > 0; --i) {
      if (random() % 3 == 0)
        utf8::append(text, 0x4E00 + random() % 0x5200);
      else if (random() % 9 == 0)
        utf8::append(text, 0x20000 + random() % 0xA6E0);
      else
        text += pieces[random() % pieces.size()];
    }
    ASSERT_EQ(t2s().convert(text), plain.Convert(text)) << text;
  }
}

TEST(Converter, ConcurrentFirstConversionsAgreeWithOpenCC) {
  // Threads meet code points that the table lacks, and overlapping ones, at
  // the same time.
  const Converter fresh("t2s");
  opencc::SimpleConverter plain("t2s");
  std::vector<std::string> texts(4);
  for (int t = 0; t < 4; ++t)
    for (char32_t cp = 0x8000 + 1500u * t; cp < 0x8000 + 1500u * t + 3000; ++cp) {
      utf8::append(texts[t], cp);
      if (cp % 7 == 0) utf8::append(texts[t], 0x20000 + cp % 97);  // beyond 16 bits
      if (cp % 11 == 0) texts[t] += "乾隆";
    }
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] { results[t] = fresh.convert(texts[t]); });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(results[t], plain.Convert(texts[t]));
}

TEST(Converter, NulKeepsItsPlaceWithPhrasesOnEitherSide) {
  EXPECT_EQ(t2s().convert("頭\0髮\0\0"s), "头\0发\0\0"s);
  EXPECT_EQ(t2s().convert("乾隆\0乾隆\0乾"s), "乾隆\0乾隆\0干"s);
  EXPECT_EQ(t2s().convert(""), "");
}

// --- configurations of one's own ---

TEST(Converter, CodePointsConvertingToOtherLengthsAndPhrasesOfOwnData) {
  const std::string dict = "乾\t干燥\n頭髮\t发\n後\t\n";
  const std::string config = config_file(dict, {dict});
  opencc::SimpleConverter plain(config);
  const Converter converter(config);
  for (const std::string text : {"乾頭髮乾a", "頭頭髮髮", "乾\n乾", "頭後", "後頭髮後"})
    EXPECT_EQ(converter.convert(text), plain.Convert(text)) << text;
}

TEST(Converter, SecondConversionOfAChainSeesTheFirstOnesOutputWhole) {
  // 甲 and 乙 become 丙 and 丁 one by one, and the second conversion turns
  // the phrase 丙丁 they form into 戊: converting code point by code point
  // would miss it. (The segmentation keeps 甲乙 in one piece.)
  const std::string config = config_file("子丑\t子丑\n", {"甲\t丙\n乙\t丁\n", "丙丁\t戊\n"});
  opencc::SimpleConverter plain(config);
  ASSERT_EQ(plain.Convert("甲乙"), "戊");
  EXPECT_EQ(Converter(config).convert("甲乙"), "戊");
  EXPECT_EQ(Converter(config).convert("甲乙\0甲乙"s), "戊\0戊"s);
}

}  // namespace
}  // namespace kelvra::nlp::common::internal
