// The records each subcommand prints, byte for byte against the library's
// own serialised records for the same input: a layout changed on either
// side (key names, key order, escaping, numbers) fails here.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/matcher.h"
#include "kelvra/nlp/common/normalizer.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace {

using namespace kelvra::cli::testing;

using kelvra::Record;
namespace nlp = kelvra::nlp::common;

// Text with what a writer may get wrong: brackets and quotes that steer the
// cuts, clause marks, control characters, quotes and backslashes to escape,
// full-width and traditional characters to normalise, a character beyond
// the basic plane, CR and tab.
const std::string kLine1 =
    "林秋生說：「江城的雨季，來得很早。」他笑了\x07！【城東，鐘錶】ＡＢＣ\"q\" \\ 𝒜。";
const std::string kLine2 = "沈小满点头：“好的，明天见。”\tEnglish, too. 江城！";
const std::string kText = kLine1 + "\r\n" + kLine2 + "\n";

// Where `word` first stands in `text`, in code points.
std::int64_t offset_of(const std::string& text, const std::string& word) {
  return static_cast<std::int64_t>(kelvra::common::utf8::length(text.substr(0, text.find(word))));
}

// The input as JSON Lines records: the text whole, then in two documents,
// the second placed at 40 in a larger one and carrying members of its own.
std::vector<Record> documents() {
  const std::size_t cut = kText.find("他笑了");
  return {Record{{"text", kText}, {"doc", 1}}, Record{{"text", kText.substr(0, cut)}, {"doc", 2}},
          Record{{"doc", 3}, {"offset", 40}, {"text", kText.substr(cut)}, {"tags", {"a", 1.5}}}};
}

std::string jsonl(const std::vector<Record>& records) {
  std::string out;
  for (const Record& record : records) out += record.dump() + "\n";
  return out;
}

// `args` run on `input`: every printed line equals the dump of the record
// expected there, and there are as many.
void expect_lines(const std::string& args, const std::string& input,
                  const std::vector<Record>& expected) {
  SCOPED_TRACE(args);
  const Result result = run(args + " " + write_file(input));
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines;
  for (std::size_t begin = 0; begin < result.out.size();) {
    const std::size_t end = result.out.find('\n', begin);
    ASSERT_NE(end, std::string::npos) << "the last line has no line end";
    lines.push_back(result.out.substr(begin, end - begin));
    begin = end + 1;
  }
  ASSERT_EQ(lines.size(), expected.size()) << result.out;
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i], expected[i].dump()) << "line " << i + 1;
}

// A library record moved to `shift` (its "offset" and, for a sentence, its
// clauses'), with the document's other members after its own.
Record placed(Record record, const Record& doc) {
  const std::int64_t shift = doc.value("offset", 0);
  record["offset"] = record["offset"].get<std::int64_t>() + shift;
  if (record.contains("clauses"))
    for (Record& clause : record["clauses"])
      clause["offset"] = clause["offset"].get<std::int64_t>() + shift;
  for (const auto& [key, value] : doc.items())
    if (key != "text" && key != "offset") record[key] = value;
  return record;
}

TEST(RecordLayout, SplitPrintsTheLibrarysSentences) {
  const nlp::phraser::Phraser phraser;
  std::vector<Record> whole, streamed;
  for (const auto& sentence : phraser.split(kText)) whole.push_back(sentence.to_json());
  ASSERT_GT(whole.size(), 4u);
  expect_lines("split", kText, whole);
  for (const Record& doc : documents())
    for (const auto& sentence : phraser.split(doc["text"].get<std::string>()))
      streamed.push_back(placed(sentence.to_json(), doc));
  expect_lines("split --jsonl", jsonl(documents()), streamed);
}

TEST(RecordLayout, SectionPrintsTheLibrarysSegments) {
  const nlp::sectioner::Sectioner sectioner;
  const std::vector<Record> whole = sectioner.split(Record{{"text", kText}, {"length", 12}}, "ner");
  ASSERT_GT(whole.size(), 4u);
  expect_lines("section --type ner --length 12", kText, whole);
  std::vector<Record> streamed;
  for (const Record& doc : documents())
    for (const Record& segment :
         sectioner.split(Record{{"text", doc["text"]}, {"length", 12}}, "ner"))
      streamed.push_back(placed(segment, doc));
  expect_lines("section --jsonl --type ner --length 12", jsonl(documents()), streamed);

  const Record feature_set{
      {"text", kText},
      {"nes",
       {{{"text", "江城"}, {"offset", offset_of(kText, "江城")}, {"length", 2}, {"type", "LOC"}},
        {{"text", "城東"}, {"spans", {{{"offset", offset_of(kText, "城東")}, {"length", 2}}}}}}}};
  const Record input{{"feature_set", feature_set}, {"length", 12}};
  expect_lines("section --type relation --length 12", feature_set.dump(),
               sectioner.split(input, "relation"));
}

TEST(RecordLayout, MatchPrintsTheLibrarysOccurrences) {
  const std::vector<std::string> words = {"江城", "城", "城東", "ＡＢＣ", "\"q\"", "𝒜", "明天见"};
  std::string dictionary;
  for (const std::string& word : words) dictionary += word + "\n";
  const std::string dict = write_file(dictionary);
  const nlp::matcher::Automaton automaton(words);

  std::vector<Record> whole, streamed, attached;
  for (const auto& word : automaton.search(kText)) whole.push_back(word.to_json());
  ASSERT_GT(whole.size(), 6u);
  expect_lines("match --dict " + dict, kText, whole);
  for (Record doc : documents()) {
    Record found = Record::array();
    for (const auto& word : automaton.search(doc["text"].get<std::string>())) {
      streamed.push_back(placed(word.to_json(), doc));
      found.push_back(word.to_json());
    }
    doc["nes"] = std::move(found);
    attached.push_back(std::move(doc));
  }
  expect_lines("match --jsonl --dict " + dict, jsonl(documents()), streamed);
  expect_lines("match --jsonl --attach nes --dict " + dict, jsonl(documents()), attached);

  // stitch takes those segments back to document positions.
  std::vector<Record> segments = attached, stitched;
  for (Record& segment : segments) {
    if (!segment.contains("offset")) segment["offset"] = 0;
    for (Record& entity : nlp::stitcher::Stitcher().merge(std::vector<Record>{segment}, "ner")) {
      entity["doc"] = segment["doc"];
      stitched.push_back(std::move(entity));
    }
  }
  ASSERT_GT(stitched.size(), 6u);
  // A name given twice is copied once.
  expect_lines("stitch --type ner --carry doc,doc", jsonl(segments), stitched);
}

TEST(RecordLayout, NormalizePrintsTheLibrarysTexts) {
  const nlp::normalizer::Normalizer normalizer({});
  expect_lines("normalize", kText,
               {normalizer.normalize(kLine1).to_json(), normalizer.normalize(kLine2).to_json()});
  std::vector<Record> records;
  for (Record doc : documents()) {
    Record text = normalizer.normalize(doc["text"].get<std::string>()).to_json();
    doc["normalized_text"] = text["normalized_text"];
    doc["alter_words"] = text["alter_words"];
    records.push_back(std::move(doc));
  }
  expect_lines("normalize --jsonl", jsonl(documents()), records);
}

TEST(RecordLayout, GleanPrintsTheLibrarysPassages) {
  const Record doc{{"text", kText},
                   {"entities",
                    {{{"text", "江城"}, {"offset", offset_of(kText, "江城")}, {"length", 2}},
                     {{"text", "明天见"}, {"offset", offset_of(kText, "明天见")}, {"length", 3}}}}};
  std::optional<std::vector<Record>> passages = nlp::gleaner::Gleaner().extract(Record(doc));
  ASSERT_TRUE(passages && passages->size() >= 2);
  expect_lines("glean", doc.dump(), *passages);
}

}  // namespace
