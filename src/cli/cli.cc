#include "cli/cli.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"

namespace kelvra::cli {

namespace utf8 = kelvra::common::utf8;

std::string source_name(const std::string& path) {
  return path.empty() || path == "-" ? "stdin" : path;
}

std::string read_input(const std::string& path, const std::string& option) {
  InputFile input(path, option);
  return input.read_all();
}

std::string read_text_input(const std::string& path, const std::string& option) {
  std::string content = read_input(path, option);
  require_utf8(content, option.empty() ? source_name(path) : option + " " + source_name(path));
  return content;
}

void require_utf8(std::string_view text, const std::string& source) {
  std::size_t bad = utf8::find_invalid(text);
  if (bad == utf8::npos) return;
  throw InputError(source + ":" + std::to_string(kelvra::common::line_number_at(text, bad)) +
                   ": input is not valid UTF-8 (bad byte at offset " + std::to_string(bad) + ")");
}

void checked_by_library(std::string_view text, const std::string& source,
                        const std::function<void()>& work) {
  try {
    work();
  } catch (const kelvra::common::TypeError&) {
    require_utf8(text, source);
    throw;
  }
}

Record parse_json(std::string_view text, const std::string& source, std::int64_t first_line) {
  try {
    return kelvra::common::read_json_text(text);
  } catch (const kelvra::common::JsonTextError& e) {
    throw InputError(
        source + ":" +
        std::to_string(first_line - 1 + kelvra::common::line_number_at(text, e.byte())) + ": " +
        e.what());
  }
}

void naming_source(const std::string& source, const std::function<void()>& work) {
  try {
    work();
  } catch (const InputError&) {
    throw;
  } catch (const std::exception& e) {
    if (!is_bad_input(e)) throw;
    throw InputError(source + ": " + failure_text(e));
  }
}

std::vector<std::string> split_code_points(const std::string& chars, const std::string& option) {
  if (!utf8::is_valid(chars)) throw CLI::ValidationError(option, "not valid UTF-8");
  std::vector<std::string> out;
  for (std::size_t pos = 0; pos < chars.size();) {
    std::size_t start = pos;
    utf8::next(chars, pos);
    out.emplace_back(chars.substr(start, pos - start));
  }
  return out;
}

// --- option values ---

CLI::Validator at_least(std::int64_t least) { return in_range(least, INT64_MAX); }

CLI::Validator in_range(std::int64_t least, std::int64_t most, const std::string& why) {
  const std::string expected = most == INT64_MAX ? "a whole number"
                                                 : "a whole number from " + std::to_string(least) +
                                                       " to " + std::to_string(most) + why;
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        std::int64_t number = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (error != std::errc() || end != value.data() + value.size() || number > most)
          return "must be " + expected + ", got " + value;
        if (number < least) return "must be at least " + std::to_string(least) + ", got " + value;
        return "";
      },
      most == INT64_MAX ? "INT>=" + std::to_string(least)
                        : "INT in [" + std::to_string(least) + "," + std::to_string(most) + "]",
      "in_range");
}

CLI::Validator positive_seconds() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        double seconds = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) ||
            seconds <= 0)
          return "must be a positive number of seconds, got " + value;
        return "";
      },
      "SECONDS", "positive_seconds");
}

CLI::Validator one_of(std::vector<std::string> choices) {
  std::string listed;
  for (const auto& choice : choices) listed += (listed.empty() ? "" : ", ") + choice;
  return CLI::Validator(
      [choices, listed](std::string& value) -> std::string {
        if (std::find(choices.begin(), choices.end(), value) != choices.end()) return "";
        return "must be one of " + listed + ", got " + value;
      },
      "{" + listed + "}", "one_of");
}

StreamOptions StreamFlags::options() const {
  return StreamOptions{jobs > 0 ? static_cast<int>(jobs) : default_jobs(), skip_bad,
                       progress_mode(progress, quiet)};
}

void add_stream_flags(CLI::App& command, StreamFlags& flags, bool lines) {
  const std::string cores = std::to_string(default_jobs());
  command
      .add_option("--jobs", flags.jobs,
                  "Threads that work on " + std::string(lines ? "lines" : "documents") +
                      " at once, up to 4 per core (here 1 to " + std::to_string(max_jobs()) +
                      "; default: the number of cores, " + cores +
                      ");\nthe output is the same for any number")
      ->check(in_range(
          1, max_jobs(),
          max_jobs() == 4 * default_jobs() ? " (4 times the " + cores + " cores here)" : ""));
  auto* progress =
      command.add_flag("--progress", flags.progress,
                       "Show progress on standard error even when it is not a terminal");
  auto* quiet = command.add_flag("--quiet", flags.quiet, "Never show progress");
  progress->excludes(quiet);
  if (lines) {
    command.add_flag("--skip-bad", flags.skip_bad,
                     "Report each bad line (not UTF-8, not valid JSON, not a valid record) on\n"
                     "standard error and go on; by default the first one stops the run with\n"
                     "status 1, after everything before it has been written");
  }
}

// --- documents of --jsonl ---

namespace {

// "a map", "an integer": a kind of value in a sentence.
std::string with_article(std::string_view kind) {
  const bool vowel =
      !kind.empty() && std::string_view("aeiou").find(kind[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + std::string(kind);
}

}  // namespace

void add_field_option(CLI::App& command, std::string& field) {
  command.add_option("--field", field, "With --jsonl: the member that holds the text")
      ->capture_default_str();
}

void refuse_field_written(const std::string& field,
                          std::initializer_list<std::string_view> written) {
  if (std::find(written.begin(), written.end(), field) == written.end()) return;
  throw CLI::ValidationError("--field", "\"" + field +
                                            "\" is a member this subcommand writes: the text "
                                            "would be replaced by what is made from it; name "
                                            "another member");
}

void add_drop_option(CLI::App& command, std::vector<std::string>& drop) {
  command
      .add_option("--drop", drop,
                  "With --jsonl: input members not to copy into the output records, e.g.\n"
                  "alter_words after normalize --jsonl, which would be repeated in each")
      ->delimiter(',')
      ->allow_extra_args(false);
}

std::vector<std::string> without_repeats(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names)
    if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
  return out;
}

Document parse_document(std::string_view line, const std::string& source, std::int64_t number,
                        std::string_view field) {
  const std::string where = source + ":" + std::to_string(number) + ": ";
  Document doc{parse_json(line, source, number), {}, {}, 0};
  if (!doc.record.is_object())
    throw InputError(where + "a document must be a JSON object with \"" + std::string(field) +
                     "\", got " + with_article(kelvra::common::kind_name(doc.record)));
  auto text = doc.record.find(field);
  if (text == doc.record.end())
    throw InputError(where + "missing key '" + std::string(field) + "'");
  if (!text->is_string())
    throw InputError(where + "\"" + std::string(field) + "\" must be a string, got " +
                     with_article(kelvra::common::kind_name(*text)));
  doc.text = text->get_ref<const std::string&>();
  return doc;
}

void run_records(InputFile& input, const StreamOptions& options, std::string_view what,
                 std::string_view field, const RecordWork& work) {
  run_lines(input, options, what,
            [&](std::string_view line, std::int64_t number, JsonWriter& json) {
              if (is_blank(line)) return;
              Document doc = parse_document(line, input.name(), number, field);
              work(doc, number, json);
            });
}

void pass_through(Document& doc, const std::string& source, std::int64_t number,
                  std::initializer_list<std::string_view> consumed,
                  std::initializer_list<std::string_view> own,
                  const std::vector<std::string>& drop) {
  auto listed = [](std::initializer_list<std::string_view> names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  JsonWriter json(doc.members);
  for (auto it = doc.record.begin(); it != doc.record.end(); ++it) {
    const std::string& key = it.key();
    if (listed(consumed, key) || std::find(drop.begin(), drop.end(), key) != drop.end()) continue;
    if (key == "offset") {
      try {
        doc.offset = kelvra::common::require_position(*it, "offset");
      } catch (const std::exception& e) {
        throw InputError(source + ":" + std::to_string(number) + ": " + failure_text(e) +
                         " (an \"offset\" is added to the positions of the records made from it)");
      }
      continue;
    }
    if (key == "text" || key == "length") continue;
    if (listed(own, key))
      throw InputError(source + ":" + std::to_string(number) + ": the document's \"" + key +
                       "\" would clash with the output records' own \"" + key + "\"; rename it");
    json.key(key);
    json.value(*it);
  }
}

void write_record(JsonWriter& json, const Record& record, std::string_view members) {
  if (members.empty() || !record.is_object()) {
    json.value(record);
  } else {
    json.begin_object();
    for (auto it = record.begin(); it != record.end(); ++it) {
      json.key(it.key());
      json.value(*it);
    }
    json.members(members);
    json.end_object();
  }
  json.end_line();
}

void write_with_added(JsonWriter& json, const Record& record,
                      std::initializer_list<std::string_view> added,
                      const std::function<void()>& write_added,
                      const std::vector<std::string>& drop) {
  json.begin_object();
  for (auto it = record.begin(); it != record.end(); ++it) {
    if (std::find(added.begin(), added.end(), it.key()) != added.end() ||
        std::find(drop.begin(), drop.end(), it.key()) != drop.end())
      continue;
    json.key(it.key());
    json.value(*it);
  }
  write_added();
  json.end_object();
  json.end_line();
}

// --- running ---

namespace {

// A saved automaton or vector store is searched in place, mapped; when its
// file is cut short or rewritten while mapped, reading it raises SIGBUS.
// That ends the run with a message naming the file rather than a bare
// "Bus error". Only async-signal-safe calls here.
void report_changed_file(int signal, siginfo_t* info, void*) {
  if (const char* path = kelvra::common::mapped_file_at(info->si_addr)) {
    auto say = [](const char* text) {
      ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
      (void)ignored;
    };
    say("kelvra-nlp: ");
    say(path);
    say(" changed while in use (it was rewritten or cut short while mapped); the output is "
        "incomplete\n");
    ::_exit(1);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void install_mapped_file_guard() {
  struct sigaction action {};
  action.sa_sigaction = report_changed_file;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// Options that name a file or a member: an empty value is always a
// mistake (most often an unset shell variable), never "standard input" or
// "none", so it is refused before anything is read or written.
constexpr std::string_view kNamingOptions[] = {
    "--attach", "--automaton", "--carry",          "--config", "--dict", "--drop", "--field",
    "--model",  "--rules",     "--save-automaton", "--words",  "FILE",   "OUT"};

CLI::Validator non_empty_name() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (!value.empty()) return "";
        return "must not be empty (an unset shell variable?); give a name, or - for standard "
               "input where a file is read";
      },
      "", "non_empty");
}

void refuse_empty_names(CLI::App& command) {
  for (CLI::Option* option : command.get_options()) {
    const std::string& name = option->get_name();
    std::string long_name = option->get_lnames().empty() ? name : "--" + option->get_lnames()[0];
    if (std::find(std::begin(kNamingOptions), std::end(kNamingOptions), long_name) !=
        std::end(kNamingOptions))
      option->check(non_empty_name());
  }
  for (CLI::App* sub : command.get_subcommands({})) refuse_empty_names(*sub);
}

}  // namespace

int run_app(CLI::App& app, int argc, char** argv) {
  install_mapped_file_guard();
  refuse_empty_names(app);
  try {
    app.parse(argc, argv);
    Output::standard().flush();
    return 0;
  } catch (const CLI::ParseError& e) {
    Progress::interrupt();
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  } catch (const std::exception& e) {
    // What was made before the failure is written first; when writing is
    // what failed, the buffer is already empty.
    try {
      Output::standard().flush();
    } catch (const OutputError&) {
    }
    Progress::interrupt();
    std::fprintf(stderr, "kelvra-nlp: %s\n", failure_text(e).c_str());
    return 1;
  }
}

}  // namespace kelvra::cli
