// One instance each of Normalizer, Cantonese, Automaton, Phraser, Sectioner,
// Embedding and Annotator, shared by four threads that call them at once;
// every result must equal the one a single thread computes. The threads run
// first, so that they meet characters never converted before together and
// fill the translator's shared conversion table at the same time (CJK
// extension A in the flat table, extension B in the map beyond it).
//
// An ordinary test in every build; `make tsan` builds and runs it under
// ThreadSanitizer, which reports any unsynchronised access it sees.
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "kelvra/common/thread_pool.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/embedding/embedding.h"
#include "kelvra/nlp/common/feature/annotator.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/matcher.h"
#include "kelvra/nlp/common/normalizer.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kvc/sdk/test_service.h"

namespace {

using kelvra::Record;
using kelvra::nlp::common::embedding::embedding::Embedding;
using kelvra::nlp::common::feature::FeatureSet;
using kelvra::nlp::common::feature::annotator::Annotator;
using kelvra::nlp::common::lang::cantonese::Cantonese;
using kelvra::nlp::common::matcher::Automaton;
using kelvra::nlp::common::normalizer::Normalizer;
using kelvra::nlp::common::phraser::Phraser;
using kelvra::nlp::common::sectioner::Sectioner;

constexpr int kThreads = 4;
// Lines of characters that nothing converted before the threads start.
constexpr int kUnseenLines = 300;
constexpr int kUnseenPerLine = 20;

// The shared objects a task reads.
struct Shared {
  const Normalizer& normalizer;
  const Cantonese& cantonese;
  const Automaton& automaton;
  const Automaton& folded;  // folding case, width and script
  const Phraser& phraser;
  const Sectioner& sectioner;
  const Embedding& embedding;
  const Annotator& annotator;
  kelvra::common::ThreadPool& pool;  // lent to the calls of every thread at once
};

// One call and its result as text, so that results of any kind compare.
struct Task {
  std::string name;
  std::function<std::string(const Shared&)> run;
};

std::string floats_text(const std::vector<float>& values) {
  std::string out;
  char buffer[32];
  for (float v : values) {
    std::snprintf(buffer, sizeof buffer, "%a ", static_cast<double>(v));
    out += buffer;
  }
  return out;
}

std::string neighbours_text(const kelvra::nlp::common::embedding::embedding::Neighbours& found) {
  std::string out;
  for (const auto& [word, similarity] : found) out += word + "=" + floats_text({similarity});
  return out;
}

std::string records_text(const std::vector<Record>& records) {
  std::string out;
  for (const Record& r : records) out += r.dump() + "\n";
  return out;
}

class Corpus {
 public:
  explicit Corpus(unsigned seed) : random_(seed) {}

  std::string pick(const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random_)];
  }

  // Text drawn from pieces that exercise every module: traditional and
  // Cantonese wording, full-width forms, control characters, sentence and
  // clause marks, brackets and quotes.
  std::string text(int pieces) {
    static const std::vector<std::string> kPieces = {
        "頭髮", "佢哋",   "而家", "喺邊度",   "食緊飯", "乾隆", "關係",   "Ａ１２",
        "abc",  " ",      "\t",   "\x01",     "。",     "，",   "！",     "？",
        "「",   "」",     "【",   "】",       "”",      "\n",   "林秋生", "江城",
        "城东", "沈小满", "word", "ｗｏｒｄ", "😀",      "後來", "這樣"};
    std::string out;
    for (int i = 0; i < pieces; ++i) out += pick(kPieces);
    return out;
  }

 private:
  std::mt19937 random_;
};

// A small word2vec file in the text variant: characters and two-character
// words with reproducible vectors.
std::string write_vectors(const std::filesystem::path& path) {
  const std::vector<std::string> chars = {"江", "城", "林", "秋", "生", "沈", "小", "满",
                                          "东", "雨", "季", "钟", "表", "铺", "子", "门"};
  std::vector<std::string> words = chars;
  for (const auto& a : chars)
    for (const auto& b : chars) words.push_back(a + b);
  constexpr int kDims = 24;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::ofstream out(path);
  out << words.size() << ' ' << kDims << '\n';
  for (const auto& word : words) {
    out << word;
    for (int d = 0; d < kDims; ++d) out << ' ' << value(random);
    out << '\n';
  }
  return path.string();
}

std::vector<Task> make_tasks(Corpus& corpus, const std::vector<std::string>& vocabulary) {
  std::vector<Task> tasks;
  auto add = [&](std::string name, std::function<std::string(const Shared&)> run) {
    tasks.push_back({std::move(name), std::move(run)});
  };

  for (int i = 0; i < 150; ++i) {
    std::string text = corpus.text(30);
    add("normalize", [text](const Shared& s) { return s.normalizer.normalize(text).to_string(); });
    add("normalize without q2b", [text](const Shared& s) {
      return s.normalizer.normalize(text, false, true, true).to_string();
    });
  }
  for (int i = 0; i < 150; ++i) {
    std::string text = corpus.text(40);
    add("search", [text](const Shared& s) {
      std::string out;
      for (const auto& w : s.automaton.search(text)) out += w.to_string();
      return out;
    });
    add("search arrays", [text](const Shared& s) {
      kelvra::nlp::common::matcher::Occurrences found;
      s.automaton.search(text, found, {kelvra::nlp::common::matcher::MatchKind::kLeftmostLongest});
      std::string out;
      for (std::size_t k = 0; k < found.size(); ++k)
        out += std::to_string(found.offsets[k]) + "," + std::to_string(found.lengths[k]) + "," +
               std::to_string(found.ids[k]) + ";";
      return out;
    });
    add("search folded", [text](const Shared& s) {
      std::string out;
      for (const auto& w : s.folded.search(text)) out += w.to_string();
      return out;
    });
  }
  for (int i = 0; i < 100; ++i) {
    std::string text = corpus.text(60);
    add("split", [text](const Shared& s) {
      std::string out;
      for (const auto& sentence : s.phraser.split(text)) out += sentence.to_json().dump();
      return out;
    });
    add("section ner", [text](const Shared& s) {
      return records_text(s.sectioner.split(Record{{"text", text}, {"length", 17}}, "ner"));
    });
    Record nes = Record::array();
    for (int j = 0; j < 6; ++j) nes.push_back(Record{{"offset", j * 9}, {"length", 3 + j % 4}});
    nes.push_back(Record{{"spans", Record::array({Record{{"offset", 2}, {"length", 2}},
                                                  Record{{"offset", 25}, {"length", 1}}})}});
    Record input{{"feature_set", Record{{"text", text}, {"nes", nes}}}, {"length", 23}};
    add("section relation",
        [input](const Shared& s) { return records_text(s.sectioner.split(input, "relation")); });
  }
  for (int i = 0; i < 120; ++i) {
    std::string text = corpus.text(20);
    add("translate", [text](const Shared& s) { return s.cantonese.translate(text); });
  }
  // Texts long enough to be walked in pieces, on the one pool all threads share.
  for (int i = 0; i < 3; ++i) {
    std::string text = corpus.text(200'000);
    add("split on a lent pool", [text](const Shared& s) {
      std::string out;
      for (const auto& sentence : s.phraser.split(text, s.pool)) out += sentence.to_json().dump();
      return out;
    });
    add("section on a lent pool", [text](const Shared& s) {
      return records_text(
          s.sectioner.split(Record{{"text", text}, {"length", 300}}, "ner", s.pool));
    });
  }
  for (int line = 0; line < kUnseenLines; ++line) {
    std::string text = "佢哋喺度";
    for (int i = 0; i < kUnseenPerLine; ++i) {
      const int n = line * kUnseenPerLine + i;
      kelvra::common::utf8::append(text, static_cast<char32_t>(0x3400 + n % 0x19C0));
      kelvra::common::utf8::append(text, static_cast<char32_t>(0x20000 + n));
    }
    add("translate unseen characters",
        [text](const Shared& s) { return s.cantonese.translate(text); });
  }
  const std::vector<std::string> queries = {"江城", "林", "秋生", "雨季钟", "满东门", "江"};
  for (int i = 0; i < 40; ++i) {
    std::string word = queries[i % queries.size()];
    add("word2vec",
        [word](const Shared& s) { return floats_text(s.embedding.word2vec(word, 1, 3)); });
    add("most_similar", [word](const Shared& s) {
      return s.embedding.wv_from_text().contains(word)
                 ? neighbours_text(s.embedding.most_similar(word, 5))
                 : std::string("(not in the vocabulary)");
    });
  }
  for (int i = 0; i < 20; ++i) {
    std::vector<std::string> batch;
    for (int j = 0; j < 70; ++j) batch.push_back(corpus.pick(vocabulary));
    add("most_similar_batch", [batch](const Shared& s) {
      std::string out;
      for (const auto& found : s.embedding.most_similar_batch(batch, 3))
        out += neighbours_text(found);
      return out;
    });
  }
  for (int i = 0; i < 24; ++i) {
    std::string text = i % 6 == 0 ? "list" : "你好 世界 " + std::to_string(i);
    add("annotate", [text](const Shared& s) {
      auto result = s.annotator.extract(text, {Annotator::Types::WORD, Annotator::Types::NER});
      if (auto* one = std::get_if<FeatureSet>(&result)) return one->to_json().dump();
      std::string out;
      for (const auto& set : std::get<std::vector<FeatureSet>>(result)) out += set.to_json().dump();
      return out;
    });
  }
  return tasks;
}

std::string run_caught(const Task& task, const Shared& shared) {
  try {
    return task.run(shared);
  } catch (const std::exception& e) {
    return std::string("threw: ") + e.what();
  }
}

TEST(ThreadStress, SharedObjectsGiveTheSingleThreadedResults) {
  const auto vectors_path = std::filesystem::temp_directory_path() /
                            ("kelvra_thread_stress_" + std::to_string(::getpid()) + ".txt");
  write_vectors(vectors_path);
  const Embedding embedding(vectors_path.string());
  std::filesystem::remove(vectors_path);

  std::vector<std::string> vocabulary;
  const auto& vectors = embedding.wv_from_text();
  for (std::size_t row = 0; row < vectors.size(); ++row) vocabulary.emplace_back(vectors.word(row));
  std::vector<std::string> dictionary = vocabulary;
  for (const char* extra : {"林秋生", "江城", "城东", "沈小满", "头发", "Ａ", "😀", "」", "abc"})
    dictionary.push_back(extra);

  kvc::sdk::TestService service;
  const Annotator annotator(Record{{"nlp_client", {{"url", service.url()}}}});
  const Normalizer normalizer({});
  const Automaton automaton(dictionary);
  const Automaton folded(dictionary, kelvra::nlp::common::matcher::kAllFolds);
  const Phraser phraser;
  const Sectioner sectioner;
  const Cantonese cantonese;

  Corpus corpus(2024);
  const std::vector<Task> tasks = make_tasks(corpus, vocabulary);

  kelvra::common::ThreadPool lent(3);
  const Shared shared{normalizer, cantonese, automaton, folded, phraser,
                      sectioner,  embedding, annotator, lent};
  std::vector<std::vector<std::string>> results(kThreads, std::vector<std::string>(tasks.size()));
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      // Threads 0 and 1 walk the tasks in order, side by side; 2 and 3
      // start halfway, so that different calls overlap as well.
      const std::size_t n = tasks.size();
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = (k + (t / 2) * n / 2) % n;
        results[t][i] = run_caught(tasks[i], shared);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // The reference: the same calls, one after the other.
  std::vector<std::string> expected;
  for (const Task& task : tasks) expected.push_back(run_caught(task, shared));
  std::vector<std::vector<std::string>> mismatches(kThreads);
  for (int t = 0; t < kThreads; ++t)
    for (std::size_t i = 0; i < tasks.size(); ++i)
      if (results[t][i] != expected[i])
        mismatches[t].push_back(tasks[i].name + " #" + std::to_string(i) + ": got " +
                                results[t][i].substr(0, 200) + "\n  expected " +
                                expected[i].substr(0, 200));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << ": " << mismatches[t].size()
                                       << " results differ; first: " << mismatches[t].front();
  }
  // The reference itself must have worked: no call may fail.
  for (std::size_t i = 0; i < tasks.size(); ++i)
    ASSERT_EQ(expected[i].rfind("threw: ", 0), std::string::npos)
        << tasks[i].name << ": " << expected[i];
}

}  // namespace
