// The dictionary automaton on a large real dictionary: build time, memory,
// saving it and loading it back (mapped from a file, or from bytes as
// unpickling does), and search throughput over 8 MB of Chinese text and over
// an ASCII-heavy text of the same size, for every kind of match, with and
// without whole words, into records and into arrays, and under foldings
// against exact matching.
//
//   matcher_bench [--dict FILE] [benchmark flags]
//   matcher_bench [--dict FILE] --write-texts DIR   # the two texts, for peers
//
// The dictionary is the first column of each line of FILE, by default the
// word list of Debian's python3-jieba (found with dpkg); without one the
// benchmark says so and does nothing.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/corpus.h"
#include "kelvra/nlp/common/matcher.h"

namespace {

using kelvra::nlp::common::matcher::match_kind_name;

using kelvra::nlp::common::matcher::Automaton;
using kelvra::nlp::common::matcher::MatchKind;
using kelvra::nlp::common::matcher::Occurrences;
using kelvra::nlp::common::matcher::SearchOptions;

constexpr std::size_t kTextBytes = 8 << 20;

std::string run_command(const char* command) {
  std::string out;
  if (FILE* pipe = popen(command, "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

std::string find_dictionary() {
  std::istringstream listing(run_command("dpkg -L python3-jieba 2>/dev/null"));
  for (std::string path; std::getline(listing, path);) {
    if (path.size() >= 15 && path.ends_with("/jieba/dict.txt")) return path;
  }
  return "";
}

// The dictionary file and the words of its first column (views into it).
struct Dictionary {
  std::string content;
  std::vector<std::string_view> words;
};

std::unique_ptr<Dictionary> read_dictionary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  auto dict = std::make_unique<Dictionary>();
  std::stringstream ss;
  ss << in.rdbuf();
  dict->content = ss.str();
  std::string_view rest = dict->content;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::string_view word = line.substr(0, line.find_first_of(" \t\r"));
    if (!word.empty()) dict->words.push_back(word);
  }
  return dict;
}

// Mostly ASCII: words of letters and digits, punctuation and line breaks,
// with a Chinese phrase now and then, so that most positions start at the
// root of an automaton whose root has tens of thousands of children.
std::string ascii_heavy_text(std::size_t bytes) {
  std::mt19937 rng(7);
  const std::string chinese = kelvra::bench::chinese_corpus(1 << 20, 3);
  const char* punctuation[] = {" ", " ", " ", " ", ", ", ". ", "\n", " (", ") ", " = ", "; "};
  std::string text;
  text.reserve(bytes + 64);
  while (text.size() < bytes) {
    if (rng() % 40 == 0) {
      std::size_t at = rng() % (chinese.size() - 64);
      while ((static_cast<unsigned char>(chinese[at]) & 0xC0) == 0x80) ++at;
      std::size_t end = at + 12 + 3 * (rng() % 4);
      while ((static_cast<unsigned char>(chinese[end]) & 0xC0) == 0x80) ++end;
      text.append(chinese, at, end - at);
    } else {
      const std::size_t length = 1 + rng() % 9;
      for (std::size_t i = 0; i < length; ++i) {
        unsigned r = rng() % 64;
        text.push_back(r < 26 ? char('a' + r) : r < 52 ? char('A' + r - 26) : char('0' + r % 10));
      }
    }
    text += punctuation[rng() % std::size(punctuation)];
  }
  return text;
}

const Dictionary* g_dictionary = nullptr;

const Automaton& automaton() {
  static const Automaton built(g_dictionary->words);
  return built;
}

const std::string& chinese_text() {
  static const std::string text = kelvra::bench::chinese_corpus(kTextBytes);
  return text;
}

const std::string& ascii_text() {
  static const std::string text = ascii_heavy_text(kTextBytes);
  return text;
}

void BM_MatcherBuild(benchmark::State& state) {
  std::size_t memory = 0, words = 0;
  for (auto _ : state) {
    Automaton built(g_dictionary->words);
    memory = built.memory_bytes();
    words = built.size();
    benchmark::DoNotOptimize(&built);
  }
  state.counters["words"] = static_cast<double>(words);
  state.counters["MB"] = static_cast<double>(memory) / 1e6;
  state.counters["bytes/word"] = static_cast<double>(memory) / static_cast<double>(words);
}

// The saved automaton, in a file of this process's own.
const std::string& saved_path() {
  static const std::string path = [] {
    std::string p = std::filesystem::temp_directory_path() /
                    ("matcher_bench_" + std::to_string(::getpid()) + ".kvac");
    automaton().save(p);
    return p;
  }();
  return path;
}

void BM_MatcherSave(benchmark::State& state) {
  for (auto _ : state) automaton().save(saved_path());
  state.counters["MB"] = static_cast<double>(automaton().memory_bytes()) / 1e6;
}

// Mapping and checking a saved file, as a process that loads it does.
void BM_MatcherLoad(benchmark::State& state) {
  for (auto _ : state) {
    Automaton loaded = Automaton::load(saved_path());
    benchmark::DoNotOptimize(&loaded);
  }
}

// From bytes in memory, as unpickling does (a copy, then the same checks).
void BM_MatcherFromBytes(benchmark::State& state) {
  const std::string bytes = automaton().to_bytes();
  for (auto _ : state) {
    Automaton loaded = Automaton::from_bytes(bytes);
    benchmark::DoNotOptimize(&loaded);
  }
}

void BM_MatcherToBytes(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(automaton().to_bytes());
}

void search_text(benchmark::State& state, const std::string& text) {
  const Automaton& matcher = automaton();
  std::size_t found = 0;
  for (auto _ : state) {
    auto result = matcher.search(text);
    found = result.size();
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["occurrences"] = static_cast<double>(found);
  state.counters["occ/s"] = benchmark::Counter(static_cast<double>(found * state.iterations()),
                                               benchmark::Counter::kIsRate);
}

// The same, into a result vector that is cleared and passed again.
void BM_MatcherSearchChineseReused(benchmark::State& state) {
  const Automaton& matcher = automaton();
  std::vector<kelvra::nlp::common::matcher::Word> result;
  for (auto _ : state) {
    result.clear();
    matcher.search(chinese_text(), result);
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chinese_text().size()));
  state.counters["occurrences"] = static_cast<double>(result.size());
  state.counters["occ/s"] = benchmark::Counter(
      static_cast<double>(result.size() * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_MatcherSearchChinese(benchmark::State& state) { search_text(state, chinese_text()); }
void BM_MatcherSearchAsciiHeavy(benchmark::State& state) { search_text(state, ascii_text()); }

// The arrays of a kind (argument 0: the kind; 1: whole words) over the
// Chinese text (argument 2: 0) or the ASCII-heavy one (1).
void BM_MatcherSearchArrays(benchmark::State& state) {
  const SearchOptions options{static_cast<MatchKind>(state.range(0)), state.range(1) != 0};
  const std::string& text = state.range(2) == 0 ? chinese_text() : ascii_text();
  const Automaton& matcher = automaton();
  Occurrences found;
  for (auto _ : state) {
    found = Occurrences();
    matcher.search(text, found, options);
    benchmark::DoNotOptimize(found.ids.data());
  }
  state.SetLabel(std::string(match_kind_name(options.kind)) +
                 (options.whole_words ? " whole words" : "") +
                 (state.range(2) == 0 ? " zh" : " ascii"));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["occurrences"] = static_cast<double>(found.size());
}

// The automaton folding by `folds` (0: the exact one), built on first use.
const Automaton& folded_automaton(std::uint8_t folds) {
  static std::unique_ptr<Automaton> built[kelvra::nlp::common::matcher::kAllFolds + 1];
  if (folds == 0) return automaton();
  if (!built[folds]) built[folds] = std::make_unique<Automaton>(g_dictionary->words, folds);
  return *built[folds];
}

// Arrays under foldings (argument 0: Fold bits, 0 for exact matching; 1:
// the kind) over the Chinese text (argument 2: 0) or the ASCII-heavy one (1).
void BM_MatcherSearchFolded(benchmark::State& state) {
  const auto folds = static_cast<std::uint8_t>(state.range(0));
  const SearchOptions options{static_cast<MatchKind>(state.range(1)), false};
  const std::string& text = state.range(2) == 0 ? chinese_text() : ascii_text();
  const Automaton& matcher = folded_automaton(folds);
  Occurrences found;
  for (auto _ : state) {
    found = Occurrences();
    matcher.search(text, found, options);
    benchmark::DoNotOptimize(found.ids.data());
  }
  const std::string fold_names = kelvra::nlp::common::matcher::folds_name(folds);
  state.SetLabel((fold_names.empty() ? "exact" : fold_names) + " " +
                 std::string(match_kind_name(options.kind)) +
                 (state.range(2) == 0 ? " zh" : " ascii"));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["occurrences"] = static_cast<double>(found.size());
}

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dict_path, texts_dir;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dict") == 0 && i + 1 < argc)
      dict_path = argv[++i];
    else if (std::strcmp(argv[i], "--write-texts") == 0 && i + 1 < argc)
      texts_dir = argv[++i];
    else
      rest.push_back(argv[i]);
  }

  if (!texts_dir.empty()) {
    for (const auto& [name, text] : {std::pair{"/matcher_zh.txt", &chinese_text()},
                                     std::pair{"/matcher_ascii.txt", &ascii_text()}}) {
      if (!write_file(texts_dir + name, *text)) {
        std::fprintf(stderr, "matcher_bench: cannot write %s%s\n", texts_dir.c_str(), name);
        return 1;
      }
    }
    return 0;
  }

  if (dict_path.empty()) dict_path = find_dictionary();
  auto dictionary = dict_path.empty() ? nullptr : read_dictionary(dict_path);
  if (!dictionary) {
    std::printf(
        "matcher_bench: skipped, no dictionary (install python3-jieba or pass --dict FILE)\n");
    return 0;
  }
  g_dictionary = dictionary.get();

  // Memory first, before the texts and the search results exist.
  const std::size_t before = kelvra::bench::peak_rss_bytes();
  const Automaton& built = automaton();
  const std::size_t peak = kelvra::bench::peak_rss_bytes();
  std::printf(
      "matcher_bench: %zu words (%zu distinct) from %s; automaton %.1f MB, %.1f bytes per "
      "word; peak RSS while building +%.1f MB (%.1f bytes per word)\n",
      dictionary->words.size(), built.size(), dict_path.c_str(), built.memory_bytes() / 1e6,
      static_cast<double>(built.memory_bytes()) / static_cast<double>(built.size()),
      (peak - before) / 1e6,
      static_cast<double>(peak - before) / static_cast<double>(built.size()));

  // A loaded automaton must find exactly what the built one finds.
  {
    const Automaton loaded = Automaton::load(saved_path());
    const auto expected = built.search(chinese_text()), got = loaded.search(chinese_text());
    const bool same =
        expected.size() == got.size() &&
        std::equal(expected.begin(), expected.end(), got.begin(), [](const auto& a, const auto& b) {
          return a.text == b.text && a.length == b.length && a.offset == b.offset;
        });
    std::printf("matcher_bench: saved %.1f MB; the loaded automaton finds %s (%zu occurrences)\n",
                loaded.memory_bytes() / 1e6, same ? "the same" : "SOMETHING ELSE", got.size());
    if (!same) return 1;
  }

  benchmark::RegisterBenchmark("BM_MatcherBuild", BM_MatcherBuild)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherSave", BM_MatcherSave)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherLoad", BM_MatcherLoad)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherFromBytes", BM_MatcherFromBytes)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherToBytes", BM_MatcherToBytes)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherSearchChinese", BM_MatcherSearchChinese)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherSearchChineseReused", BM_MatcherSearchChineseReused)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_MatcherSearchAsciiHeavy", BM_MatcherSearchAsciiHeavy)
      ->Unit(benchmark::kMillisecond);
  auto* arrays = benchmark::RegisterBenchmark("BM_MatcherSearchArrays", BM_MatcherSearchArrays)
                     ->Unit(benchmark::kMillisecond);
  for (int kind = 0; kind < 3; ++kind)
    for (int whole_words = 0; whole_words < 2; ++whole_words)
      for (int text = 0; text < 2; ++text) arrays->Args({kind, whole_words, text});
  auto* folded = benchmark::RegisterBenchmark("BM_MatcherSearchFolded", BM_MatcherSearchFolded)
                     ->Unit(benchmark::kMillisecond);
  for (int text = 0; text < 2; ++text)
    for (int kind = 0; kind < 2; ++kind)
      for (int folds : {0, 3, 7}) folded->Args({folds, kind, text});
  int bench_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&bench_argc, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(saved_path().c_str());
  // Searches return every occurrence as a record: this peak includes them.
  std::printf("matcher_bench: peak RSS of the whole run %.1f MB\n",
              kelvra::bench::peak_rss_bytes() / 1e6);
  return 0;
}
