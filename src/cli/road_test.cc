// The segmentation road as a shell pipeline of subcommands, checked against
// the same road through the library and against the normalised documents.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/matcher.h"
#include "kelvra/nlp/common/normalizer.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace {

using namespace kelvra::cli::testing;

using kelvra::Record;
namespace utf8 = kelvra::common::utf8;

// Runs `stages`, each a kelvra-nlp command line, as one bash pipeline that
// fails when any stage fails.
Result run_pipeline(const std::vector<std::string>& stages, const std::string& input_path) {
  std::string pipeline = "set -o pipefail; ";
  for (std::size_t i = 0; i < stages.size(); ++i) {
    pipeline += (i == 0 ? "" : " | ") + std::string(KELVRA_CLI_PATH) + " " + stages[i];
    if (i == 0) pipeline += " " + input_path;
  }
  const std::string out = temp_path(".out"), err = temp_path(".err");
  const std::string command = "bash -c '" + pipeline + "' > " + out + " 2> " + err;
  const int raw = std::system(command.c_str());
  return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

TEST(Road, PipedSubcommandsPlaceEveryEntityAsTheLibraryRoadDoes) {
  std::map<std::string, std::string> documents;  // by id
  documents["sample"] = slurp("data/sample/document.txt");
  // Traditional characters and full-width letters that only the normalised
  // text spells as the dictionary does, quotes and brackets across segments.
  std::string long_one;
  for (int i = 0; i < 40; ++i)
    long_one += "林秋生說：「江城的雨季，" + std::string(i % 3 ? "城東" : "ＡＢＣ") +
                "鐘錶鋪。」沈小滿點頭。【江城" + std::to_string(i) + "】\n";
  documents["long"] = long_one;
  documents["none"] = "没有名字的一句话。";
  documents["empty"] = "";
  ASSERT_FALSE(documents["sample"].empty());

  std::string lines;
  for (const auto& [id, text] : documents)
    lines += Record{{"id", id}, {"text", text}, {"source", "test"}}.dump() + "\n";
  const std::string input = write_file(lines, ".jsonl");
  const std::string dictionary = write_file(slurp("data/sample/names.txt") + "ABC\n城东\n钟表\n");
  constexpr int kLength = 50;

  std::vector<std::string> road = {
      "normalize --jsonl",
      "section --jsonl --field normalized_text --drop alter_words --type ner --length " +
          std::to_string(kLength),
      "match --jsonl --attach nes --dict " + dictionary, "stitch --type ner --carry id"};
  auto piped = run_pipeline(road, input);
  ASSERT_EQ(piped.status, 0) << piped.err;
  const std::vector<Record> entities = json_lines(piped.out);

  // The same road through the library, document by document.
  const kelvra::nlp::common::normalizer::Normalizer normalizer({});
  const kelvra::nlp::common::sectioner::Sectioner sectioner;
  const kelvra::nlp::common::stitcher::Stitcher stitcher;
  std::vector<std::string> words;
  std::istringstream dictionary_lines(slurp(dictionary));
  for (std::string line; std::getline(dictionary_lines, line);)
    if (!line.empty()) words.push_back(line.substr(0, line.find_first_of(" \t")));
  const kelvra::nlp::common::matcher::Automaton automaton(words);
  std::vector<Record> expected;
  std::map<std::string, std::string> normalized;
  for (const auto& [id, text] : documents) {
    normalized[id] = normalizer.normalize(text).normalized_text;
    std::vector<Record> segments =
        sectioner.split(Record{{"text", normalized[id]}, {"length", kLength}}, "ner");
    for (Record& segment : segments) {
      Record nes = Record::array();
      for (const auto& word : automaton.search(segment["text"].get<std::string>()))
        nes.push_back(word.to_json());
      segment["nes"] = std::move(nes);
    }
    for (Record& entity : stitcher.merge(segments, "ner")) {
      entity["id"] = id;
      expected.push_back(std::move(entity));
    }
  }
  EXPECT_EQ(entities, expected);

  // With --attach, one record per document, those without entities too.
  road.back() += " --attach nes";
  auto attached = run_pipeline(road, input);
  ASSERT_EQ(attached.status, 0) << attached.err;
  std::vector<Record> per_document;
  for (const auto& [id, text] : documents) {
    Record nes = Record::array();
    for (Record entity : expected)
      if (entity["id"] == id) {
        entity.erase("id");
        nes.push_back(std::move(entity));
      }
    per_document.push_back(Record{{"id", id}, {"nes", std::move(nes)}});
  }
  EXPECT_EQ(json_lines(attached.out), per_document);

  // Every entity lies in its normalised document where it says.
  std::size_t beyond_first_segment = 0;
  for (const Record& entity : entities) {
    const std::string& text = normalized.at(entity["id"].get<std::string>());
    const auto offset = entity["offset"].get<std::size_t>();
    const auto length = entity["length"].get<std::size_t>();
    EXPECT_EQ(utf8::substr(text, offset, length), entity["text"].get<std::string>())
        << entity.dump();
    if (offset >= static_cast<std::size_t>(kLength)) ++beyond_first_segment;
  }
  EXPECT_GT(entities.size(), 100u);
  EXPECT_GT(beyond_first_segment, 50u);

  // With overlap of twice the longest word, the piped road finds what a
  // search of each whole normalised document finds, each entity once, with
  // the segments cut at any measure.
  std::size_t longest = 0;
  for (const std::string& word : words) longest = std::max(longest, utf8::length(word));
  using Found = std::tuple<std::string, std::int64_t, std::int64_t, std::string>;
  std::vector<Found> whole;
  for (const auto& [id, text] : normalized)
    for (const auto& word : automaton.search(text))
      whole.emplace_back(id, word.offset, word.length, word.text);
  std::sort(whole.begin(), whole.end());
  for (const char* measure : {"code-points", "utf-8-bytes"}) {
    auto overlapped = run_pipeline(
        {"normalize --jsonl",
         "section --jsonl --field normalized_text --drop alter_words --type ner --length 40 "
         "--measure " +
             std::string(measure) + " --overlap " + std::to_string(2 * longest),
         "match --jsonl --attach nes --dict " + dictionary, "stitch --type ner --carry id"},
        input);
    ASSERT_EQ(overlapped.status, 0) << overlapped.err;
    std::vector<Found> stitched;
    for (const Record& entity : json_lines(overlapped.out))
      stitched.emplace_back(entity["id"], entity["offset"], entity["length"], entity["text"]);
    std::sort(stitched.begin(), stitched.end());
    EXPECT_EQ(stitched, whole) << measure;
  }
}

}  // namespace
