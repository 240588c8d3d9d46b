// The completion script's question (vrx5200 __complete WORDS...), answered from the parser
// itself, so that the script keeps no lists of its own that drift.
#include "tools/completion.h"

#include <cstdio>
#include <string>

#include "client/units.h"
#include "tools/failure.h"

namespace tool {
namespace {

// What completes an option's value or a positional argument, where the tool knows it: a list of
// words, or ":file" or ":dir" for the shell to expand. The subcommand is empty where the name means
// the same in every subcommand; the windows' names come from their own table.
struct ValueCompletion {
  const char* subcommand;
  const char* name;  // the long option's name, or the positional argument's
  const char* words;
};
constexpr ValueCompletion kValueCompletions[] = {
    {"capture", "--format", "raw csv npy sigmf"},
    {"analyze", "--format", "raw csv npy sigmf offset twos"},
    {"analyze", "--method", "fit spectrum"},
    {"", "--code-format", "twos offset"},
    {"generate", "KIND", "tone multitone ramp noise"},
    {"", "--output", ":file"},
    {"", "--binary", ":file"},
    {"", "--text", ":file"},
    {"", "--multipliers", ":file"},
    {"", "--library", ":file"},
    {"", "--token-file", ":file"},
    {"", "FILE", ":file"},
    {"", "INPUT", ":file"},
    {"", "--output-dir", ":dir"},
    {"", "--keep", ":dir"},
    {"", "--dir", ":dir"},
    {"", "--upload-dir", ":dir"},
};

std::string value_completion(const CLI::App& at, const CLI::Option& opt) {
  const std::string name = opt.get_positional()       ? opt.get_name(true, false)
                           : opt.get_lnames().empty() ? ""
                                                      : "--" + opt.get_lnames().front();
  if (name == "--window") return client::window_names(" ");
  for (const ValueCompletion& v : kValueCompletions) {
    if (name == v.name && (*v.subcommand == '\0' || at.get_name() == v.subcommand)) return v.words;
  }
  return "";
}

}  // namespace

int print_completions(CLI::App& app, int argc, char** argv) {
  CLI::App* at = &app;
  const CLI::Option* pending = nullptr;  // the option the next word is the value of
  size_t positionals = 0;                // positional arguments given to the subcommand at
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (pending != nullptr) {
      pending = nullptr;
      continue;
    }
    if (word.size() > 1 && word[0] == '-') {
      const CLI::Option* opt = at->get_option_no_throw(word);
      if (opt != nullptr && opt->get_expected_max() > 0) pending = opt;
      continue;
    }
    CLI::App* next = nullptr;
    for (CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; })) {
      if (sub->get_name() == word && !sub->get_group().empty()) next = sub;
    }
    if (next != nullptr) {
      at = next;
      positionals = 0;
    } else {
      ++positionals;
    }
  }
  if (pending != nullptr) {
    const std::string words = value_completion(*at, *pending);
    if (words.empty()) {
      std::printf(":value\n");
    } else if (words[0] == ':') {
      std::printf("%s\n", words.c_str());
    } else {
      std::printf(":words\n%s\n", words.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
  }
  for (CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; })) {
    if (!sub->get_group().empty()) std::printf("%s\n", sub->get_name().c_str());
  }
  size_t positional = 0;
  for (const CLI::Option* opt : at->get_options()) {
    if (opt->get_positional()) {
      // The positional argument that comes next: its words, where it has them.
      if (positional++ != positionals) continue;
      const std::string words = value_completion(*at, *opt);
      if (!words.empty() && words[0] != ':') std::printf("%s\n", words.c_str());
      continue;
    }
    if (opt->get_group().empty()) continue;
    for (const std::string& s : opt->get_snames()) std::printf("-%s\n", s.c_str());
    for (const std::string& l : opt->get_lnames()) std::printf("--%s\n", l.c_str());
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
}

}  // namespace tool
