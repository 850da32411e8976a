// One worker of bench/shared_memory.py: loads an automaton or a vector
// store the way a worker process would, says so on standard output with the
// load time, and keeps it until standard input ends, so that the script can
// read its memory (/proc/PID/smaps_rollup) while it holds the data.
//
//   mapped_memory automaton FILE    # a saved automaton, mapped
//   mapped_memory dictionary FILE   # an automaton built from a word list (jieba's dict.txt)
//   mapped_memory store FILE        # a saved vector store, mapped
//   mapped_memory word2vec FILE     # a vector store read from a binary word2vec file
//
// Prints "ready LOAD_MS ITEMS" once loaded.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kelvra/nlp/common/embedding/embedding.h"
#include "kelvra/nlp/common/matcher.h"

namespace {

using kelvra::nlp::common::embedding::embedding::Embedding;
using kelvra::nlp::common::matcher::Automaton;

// The first column of each line of a word list.
std::vector<std::string> read_words(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);) {
    std::string word = line.substr(0, line.find_first_of(" \t\r"));
    if (!word.empty()) words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: mapped_memory automaton|dictionary|store|word2vec FILE\n");
    return 2;
  }
  const std::string kind = argv[1], path = argv[2];
  try {
    const auto start = std::chrono::steady_clock::now();
    std::size_t items = 0;
    // Kept alive until standard input ends.
    std::vector<Automaton> automata;
    std::vector<Embedding> stores;
    if (kind == "automaton" || kind == "dictionary") {
      automata.push_back(kind == "automaton" ? Automaton::load(path) : Automaton(read_words(path)));
      items = automata.back().size();
    } else if (kind == "store" || kind == "word2vec") {
      stores.emplace_back(path, kind == "word2vec");
      items = stores.back().wv_from_text().size();
    } else {
      std::fprintf(stderr, "mapped_memory: unknown kind %s\n", kind.c_str());
      return 2;
    }
    const double load_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("ready %.3f %zu\n", load_ms, items);
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mapped_memory: %s\n", e.what());
    return 1;
  }
  return 0;
}
