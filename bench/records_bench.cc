// The record operations on a corpus of annotated documents, for comparing
// the library with the same calls through Python (bench/python_records.py
// makes the data and runs both):
//
//   records_bench --data=DOCUMENTS.jsonl [benchmark flags]
//
// Each line is one document {"text": ..., "entities": [...]}. Timed: the
// passage extraction of every document, and its relation sectioning at
// length 510 ({"feature_set": {"text", "nes": entities}, "length": 510}),
// on fresh copies of the parsed records (copying and freeing untimed).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/sectioner.h"

namespace {

using kelvra::Record;

std::vector<Record>& documents() {
  static std::vector<Record> parsed;
  return parsed;
}

void BM_GleanerExtractCorpus(benchmark::State& state) {
  kelvra::nlp::common::gleaner::Gleaner gleaner;
  std::size_t passages = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Record> docs = documents();  // extract changes the entity records in place
    std::vector<std::optional<std::vector<Record>>> results(docs.size());
    state.ResumeTiming();
    for (std::size_t i = 0; i < docs.size(); ++i) results[i] = gleaner.extract(docs[i]);
    state.PauseTiming();
    passages = 0;
    for (const auto& result : results) passages += result ? result->size() : 0;
    docs.clear();
    results.clear();
    state.ResumeTiming();
  }
  state.counters["passages"] = static_cast<double>(passages);
}

void BM_SectionerRelationCorpus(benchmark::State& state) {
  kelvra::nlp::common::sectioner::Sectioner sectioner;
  std::vector<Record> inputs;
  for (const Record& doc : documents())
    inputs.push_back(Record{{"feature_set", {{"text", doc["text"]}, {"nes", doc["entities"]}}},
                            {"length", 510}});
  std::size_t segments = 0;
  for (auto _ : state) {
    std::vector<std::vector<Record>> results(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
      results[i] = sectioner.split(inputs[i], "relation");
    state.PauseTiming();
    segments = 0;
    for (const auto& result : results) segments += result.size();
    results.clear();
    state.ResumeTiming();
  }
  state.counters["segments"] = static_cast<double>(segments);
}

}  // namespace

int main(int argc, char** argv) {
  std::string data;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.rfind("--data=", 0) == 0)
      data = std::string(arg.substr(7));
    else
      rest.push_back(argv[i]);
  }
  if (data.empty()) {
    std::cerr << "usage: records_bench --data=DOCUMENTS.jsonl [benchmark flags]\n";
    return 2;
  }
  std::ifstream in(data);
  for (std::string line; std::getline(in, line);) documents().push_back(Record::parse(line));
  if (documents().empty()) {
    std::cerr << "records_bench: no documents in " << data << "\n";
    return 1;
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RegisterBenchmark("BM_GleanerExtractCorpus", BM_GleanerExtractCorpus)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_SectionerRelationCorpus", BM_SectionerRelationCorpus)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
