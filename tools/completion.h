// Bash completion: what may follow the words of a command line, asked by the completion script.
#pragma once

#include <CLI/CLI.hpp>

namespace tool {

// Answers "vrx5200 __complete WORDS..." (argv[1] is "__complete") on standard output; returns the
// exit code. Where the last word is an option that takes a value, the answer is ":words" and the
// values, ":file", ":dir", or ":value" (a value nothing can suggest); otherwise the subcommands,
// the options and the next positional argument's words, one a line.
int print_completions(CLI::App& app, int argc, char** argv);

}  // namespace tool
