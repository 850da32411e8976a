// Reading JSON text from outside: the toolkit's reader (NUL and nesting
// checks, members placed at once) beside the JSON library's own parse, on
// the inputs the command line reads: --jsonl documents of a few hundred
// bytes, segments with their entities (what `stitch` reads), a feature-set
// answer of 4.6 MB, and one object of 100,000 members.
#include <benchmark/benchmark.h>

#include "bench/corpus.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/utf8.h"

namespace {

using kelvra::Record;

// Documents of a corpus cut at about 300 bytes, each with two members more.
const std::vector<std::string>& documents() {
  static const std::vector<std::string> lines = [] {
    const std::string text = kelvra::bench::chinese_corpus(4 << 20);
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos + 300 < text.size(); pos += 300) {
      std::size_t end = pos + 300;
      while ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
      out.push_back(Record{
          {"doc", "d" + std::to_string(out.size())},
          {"text", text.substr(pos, end - pos)},
          {"tags",
           {"news", 3}}}.dump());
      pos = end - 300;
    }
    return out;
  }();
  return lines;
}

// Segments as the piped road hands them to `stitch`: a segment of about
// 200 characters with its members and the entities a model found in it.
const std::vector<std::string>& segments() {
  static const std::vector<std::string> lines = [] {
    const std::string text = kelvra::bench::chinese_corpus(2 << 20);
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos + 600 < text.size(); pos += 600) {
      std::size_t end = pos + 600;
      while ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
      const std::string segment = text.substr(pos, end - pos);
      Record nes = Record::array();
      for (int i = 0; i < 6; ++i)
        nes.push_back(Record{{"offset", 11 * i + 3},
                             {"length", 2 + i % 3},
                             {"type", "ORG"},
                             {"text", kelvra::common::utf8::substr(segment, 11 * i + 3, 2 + i % 3)},
                             {"score", 0.25 + 0.125 * i}});
      out.push_back(Record{
          {"text", segment},
          {"offset", 1000 + out.size() * 200},
          {"length", 200},
          {"id", "doc-" + std::to_string(out.size() / 7)},
          {"nes", nes}}.dump());
      pos = end - 600;
    }
    return out;
  }();
  return lines;
}

const std::string& answer() {
  static const std::string text = [] {
    Record words = Record::array();
    for (int i = 0; i < 40000; ++i)
      words.push_back({{"id", i},
                       {"text", "你好"},
                       {"offset", 2 * i},
                       {"length", 2},
                       {"pos", "NN"},
                       {"sentence_id", nullptr},
                       {"clause_id", nullptr},
                       {"parent", nullptr},
                       {"relation", nullptr}});
    return Record{{"words", words}, {"nes", Record::array()}}.dump();
  }();
  return text;
}

// Reads every line of `lines` with `read`, as a --jsonl run does.
template <class Read>
void read_lines(benchmark::State& state, const std::vector<std::string>& lines, Read read) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      Record record = read(line);
      benchmark::DoNotOptimize(record);
      bytes += line.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_DocumentsReadJsonText(benchmark::State& state) {
  read_lines(state, documents(),
             [](const std::string& line) { return kelvra::common::read_json_text(line); });
}
BENCHMARK(BM_DocumentsReadJsonText)->Unit(benchmark::kMillisecond);

void BM_DocumentsLibraryParse(benchmark::State& state) {
  read_lines(state, documents(), [](const std::string& line) { return Record::parse(line); });
}
BENCHMARK(BM_DocumentsLibraryParse)->Unit(benchmark::kMillisecond);

void BM_SegmentsReadJsonText(benchmark::State& state) {
  read_lines(state, segments(),
             [](const std::string& line) { return kelvra::common::read_json_text(line); });
}
BENCHMARK(BM_SegmentsReadJsonText)->Unit(benchmark::kMillisecond);

void BM_SegmentsLibraryParse(benchmark::State& state) {
  read_lines(state, segments(), [](const std::string& line) { return Record::parse(line); });
}
BENCHMARK(BM_SegmentsLibraryParse)->Unit(benchmark::kMillisecond);

void BM_AnswerReadJsonText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kelvra::common::read_json_text(answer()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer().size()));
}
BENCHMARK(BM_AnswerReadJsonText)->Unit(benchmark::kMillisecond);

void BM_AnswerLibraryParse(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Record::parse(answer()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer().size()));
}
BENCHMARK(BM_AnswerLibraryParse)->Unit(benchmark::kMillisecond);

// 100,000 members: the library's parse compares each key with the earlier
// ones (about 30 s); the reader sorts them once.
void BM_ManyMembersReadJsonText(benchmark::State& state) {
  std::string text = "{";
  for (int i = 0; i < 100000; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  text += "}";
  for (auto _ : state) benchmark::DoNotOptimize(kelvra::common::read_json_text(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ManyMembersReadJsonText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
