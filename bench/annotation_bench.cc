// English feature records through their serialised form, and the cost of
// one request to the NLP service over loopback (the service answers at
// once, so this is the client's share: connection, JSON both ways, reading
// the feature sets).
#include <benchmark/benchmark.h>

#include "kelvra/nlp/common/feature/annotator.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"
#include "kvc/sdk/test_service.h"

namespace {

namespace en = kelvra::nlp::common::feature::lang::en;
using kelvra::nlp::common::feature::annotator::Annotator;

// A document of `words` English words, every optional field set.
en::FeatureSet english_document(std::int64_t words) {
  static const char* kVocabulary[] = {"the", "dogs", "bark", "at", "night", "while", "we", "sleep"};
  std::vector<en::Word> list;
  std::string text;
  for (std::int64_t i = 0; i < words; ++i) {
    std::string word = kVocabulary[i % 8];
    auto offset = static_cast<std::int64_t>(text.size());
    text += word + " ";
    list.emplace_back(i, word, offset, static_cast<std::int64_t>(word.size()), "NN", i / 20, i / 10,
                      i == 0 ? -1 : i - 1, "dep", i % 3 == 0, word);
  }
  return en::FeatureSet(std::move(list), std::vector<en::Entity>{}, std::vector<en::Sentence>{},
                        text);
}

void BM_EnFeatureSetToJson(benchmark::State& state) {
  en::FeatureSet doc = english_document(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(doc.to_json());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EnFeatureSetToJson)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_EnFeatureSetFromJson(benchmark::State& state) {
  kelvra::Record json = english_document(state.range(0)).to_json();
  for (auto _ : state) benchmark::DoNotOptimize(en::FeatureSet::from_json(json));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EnFeatureSetFromJson)->Arg(1000)->Unit(benchmark::kMicrosecond);

// One extract() call against a service on 127.0.0.1 that answers a feature
// set with one word per blank-separated token of the text.
void BM_AnnotatorExtractLoopback(benchmark::State& state) {
  kvc::sdk::TestService service;
  Annotator annotator(kelvra::Record{{"kvcloud_url", service.url()}});
  std::string text;
  for (std::int64_t i = 0; i < state.range(0); ++i) text += "词 ";
  for (auto _ : state) benchmark::DoNotOptimize(annotator.extract(text, {Annotator::Types::WORD}));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AnnotatorExtractLoopback)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
