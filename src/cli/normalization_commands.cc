// normalize and cantonese: text normalisation and Cantonese to Mandarin
// from the command line, one input line at a time, on all cores.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"

namespace kelvra::cli {

namespace {

using nlp::common::lang::cantonese::Cantonese;
using nlp::common::lang::cantonese::Rewrite;
using nlp::common::normalizer::Normalizer;

void add_normalize(CLI::App& app) {
  struct Options {
    bool no_q2b = false;
    bool no_replace = false;
    bool no_to_zhs = false;
    std::string valid;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "normalize",
      "Normalise each input line (traditional to simplified Chinese, control characters to\n"
      "blanks, full-width to half-width); prints one result record per line with every\n"
      "changed position: {\"text\",\"normalized_text\",\"alter_words\":[{\"text\",\n"
      "\"normalized_text\",\"offset\"}]}, offsets in code points of the line.");
  cmd->add_flag("--no-q2b", options->no_q2b, "Keep full-width characters");
  cmd->add_flag("--no-replace", options->no_replace, "Keep control characters");
  cmd->add_flag("--no-to-zhs", options->no_to_zhs, "Keep traditional characters");
  cmd->add_option("--valid", options->valid,
                  "Control characters to keep, one per character (default: none)");
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    const Normalizer normalizer(split_code_points(options->valid, "--valid"));
    InputFile input(options->file);
    const bool q2b = !options->no_q2b, replace = !options->no_replace, to_zhs = !options->no_to_zhs;
    // Laid out as Text::to_json lays it out, each change written as it is
    // found, so that a huge line never holds its list of changes.
    run_lines(input, options->stream.options(), "normalize",
              [&](std::string_view line, std::int64_t, JsonWriter& json) {
                json.begin_object();
                json.key("text");
                json.string(line);
                normalizer.normalize(
                    line,
                    [&](std::string_view normalized) {
                      json.key("normalized_text");
                      json.string(normalized);
                      json.key("alter_words");
                      json.begin_array();
                    },
                    [&](std::string_view text, std::string_view normalized, std::int64_t offset) {
                      json.begin_object();
                      json.key("text");
                      json.string(text);
                      json.key("normalized_text");
                      json.string(normalized);
                      json.key("offset");
                      json.integer(offset);
                      json.end_object();
                    },
                    q2b, replace, to_zhs);
                json.end_array();
                json.end_object();
                json.end_line();
              });
  });
}

// A copy of a dictionary file without the byte order mark it starts with,
// under the same file name in a folder of its own, removed again when this
// goes. The dictionary loader keeps a mark as part of the first word, which
// would then never match.
class UnmarkedCopy {
 public:
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

  // Absent when `path` does not start with a mark.
  static std::optional<UnmarkedCopy> of(const std::string& path) {
    InputFile file(path, "--dict");
    char head[3] = {};
    std::size_t got = 0;
    while (got < sizeof head)
      if (std::size_t n = file.read(head + got, sizeof head - got); n > 0) got += n; else break;
    if (std::string_view(head, got) != kByteOrderMark) return std::nullopt;
    std::string content = file.read_all();
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelvra-nlp-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr)
      throw InputError("--dict " + path + ": cannot make a copy without its byte order mark: " +
                       std::strerror(errno));
    UnmarkedCopy copy(folder, folder + "/" + std::filesystem::path(path).filename().string());
    std::ofstream out(copy.path_, std::ios::binary);
    if (!out.write(content.data(), static_cast<std::streamsize>(content.size())) || !out.flush())
      throw InputError("--dict " + path + ": cannot make a copy without its byte order mark");
    return copy;
  }

  UnmarkedCopy(UnmarkedCopy&& other) noexcept
      : folder_(std::exchange(other.folder_, {})), path_(std::exchange(other.path_, {})) {}
  UnmarkedCopy& operator=(UnmarkedCopy&&) = delete;
  ~UnmarkedCopy() {
    if (folder_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  const std::string& path() const noexcept { return path_; }

 private:
  UnmarkedCopy(std::string folder, std::string path) : folder_(std::move(folder)), path_(std::move(path)) {}
  std::string folder_;
  std::string path_;
};

void add_cantonese(CLI::App& app) {
  struct Options {
    std::string dict;
    bool explain = false;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "cantonese",
      "Rewrite Cantonese wording with Mandarin wording, word by word, in simplified\n"
      "characters, leaving Mandarin as it is; prints each input line translated.");
  cmd->add_option("--dict", options->dict,
                  "Cantonese-Mandarin dictionary, tab-separated (default: the shipped c2m.tsv)");
  cmd->add_flag("--explain", options->explain,
                "Print one record per line instead: {\"text\",\"translation\",\"rewrites\":\n"
                "[{\"text\",\"offset\",\"length\",\"translation\",\"line\",\"entry\"}]}, one\n"
                "rewrite per changed word, offsets in code points of the line; \"line\" and\n"
                "\"entry\" are the dictionary line that changed it (the file the log names)");
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    // Opening it also names a bad path before anything else is done.
    std::optional<UnmarkedCopy> unmarked =
        options->dict.empty() ? std::nullopt : UnmarkedCopy::of(options->dict);
    std::optional<std::string> dict;
    if (!options->dict.empty()) dict = unmarked ? unmarked->path() : options->dict;
    InputFile input(options->file);
    const Cantonese cantonese(dict);
    unmarked.reset();  // loaded
    const bool explain = options->explain;
    run_lines(input, options->stream.options(), "cantonese",
              [&](std::string_view line, std::int64_t, JsonWriter& json) {
                if (!explain) {
                  std::string& out = json.buffer();
                  out += cantonese.translate(line);
                  out.push_back('\n');
                  return;
                }
                std::vector<Rewrite> rewrites;
                const std::string translation = cantonese.translate(line, rewrites);
                json.begin_object();
                json.key("text");
                json.string(line);
                json.key("translation");
                json.string(translation);
                json.key("rewrites");
                json.begin_array();
                for (const Rewrite& rewrite : rewrites) {
                  json.begin_object();
                  json.key("text");
                  json.string(rewrite.text);
                  json.key("offset");
                  json.integer(rewrite.offset);
                  json.key("length");
                  json.integer(rewrite.length);
                  json.key("translation");
                  json.string(rewrite.mandarin);
                  json.key("line");
                  json.integer(rewrite.line);
                  json.key("entry");
                  json.string(rewrite.entry_cantonese + "\t" + rewrite.entry_mandarin);
                  json.end_object();
                }
                json.end_array();
                json.end_object();
                json.end_line();
              });
  });
}

}  // namespace

void add_normalization_commands(CLI::App& app) {
  add_normalize(app);
  add_cantonese(app);
}

}  // namespace kelvra::cli
