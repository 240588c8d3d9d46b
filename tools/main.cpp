// vrx5200: every job of the control library from a shell, on an attached board or, with --sim,
// on the simulated one. A client of the library like any other: it loads the shared library at
// run time and calls only its exports.
//
// Exit codes: 0 success, 1 the board or the library failed, 2 the command line is wrong, 3 a file
// could not be read or written, 4 analyze --strict gave warnings.
//
// main only wires: the global options, each subcommand's parser (tools/cmd_*.cpp), the parse, and
// the run of the subcommand that was given.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/completion.h"
#include "tools/failure.h"
#include "tools/files.h"

#ifndef VRX5200_VERSION
#error "the build passes the project's version"
#endif

namespace {

using namespace tool;

void add_global_options(CLI::App& app, GlobalOptions& o) {
  app.require_subcommand(1);
  // The global options may also follow the subcommand (the subcommands inherit this).
  app.fallthrough();
  app.set_version_flag("--version", "vrx5200 " VRX5200_VERSION);
  app.add_flag("--sim", o.sim,
               "use the simulated board (libvrx5200sim) instead of attached boards");
  app.add_option("--library", o.library, "path of the control library to load");
  app.add_option("--board", o.board,
                 "serial key of the board to use, or its number in the list (default: the only "
                 "one)");
  add_remote_options(app, o.remote);
  app.footer(
      "Exit status: 0 success, 1 the board or the library failed, 2 bad command line, 3 a file\n"
      "could not be read or written, 4 analyze --strict gave warnings.\n\n"
      "Examples:\n  vrx5200 --sim list\n  vrx5200 --sim capture -n 65536 -o capture.bin\n"
      "  vrx5200 --sim play --text samples.txt\n  vrx5200 --sim demo\n"
      "  vrx5200 -u http://lab-pc:8520 capture -n 65536 -o capture.bin\n\n"
      "With -u URL (or VRX5200_URI) list, info, load, reg, capture, play and loopback use\n"
      "the board of the `vrx5200 serve` at URL and print what they print on its host;\n"
      "convert, generate and analyze of a file run here; serve and demo refuse -u. The token\n"
      "comes from VRX5200_TOKEN or a token file (--token-file, VRX5200_TOKEN_FILE), never from\n"
      "the command line.");
}

// The simulated bench offers as many boards as VRX5200_SIM_BOARDS says, 1 to 16, and quietly
// one for anything else: a number it would not honour is refused here, where it can be said.
void check_simulated_boards() {
  const char* text = std::getenv("VRX5200_SIM_BOARDS");
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || errno == ERANGE || n < 1 || n > 16) {
    fail(std::string("bad number of simulated boards (VRX5200_SIM_BOARDS): \"") + text +
             "\" (a whole number from 1 to 16)",
         kExitUsage);
  }
}

std::vector<std::unique_ptr<Command>> all_commands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(list_command());
  commands.push_back(info_command());
  commands.push_back(load_command());
  commands.push_back(reg_command());
  commands.push_back(capture_command());
  commands.push_back(play_command());
  commands.push_back(convert_command());
  commands.push_back(analyze_command());
  commands.push_back(generate_command());
  commands.push_back(loopback_command());
  commands.push_back(demo_command());
  commands.push_back(serve_command(VRX5200_VERSION));
  return commands;
}

// The first word that is neither an option nor a global option's value where a subcommand must
// be named (at the top, or within reg), when it names none: empty otherwise. `parent` is set to
// the subcommand whose subcommands were expected (empty at the top).
std::string unknown_subcommand(CLI::App& app, int argc, char** argv, CLI::App*& parent) {
  const auto all = [](CLI::App*) { return true; };
  parent = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return "";
    if (word == "--library" || word == "--board" || word == "-u" || word == "--uri" ||
        word == "--token-file" || word == "--remote-timeout") {
      ++i;
      continue;
    }
    if (!word.empty() && word[0] == '-') continue;
    const std::vector<CLI::App*> subcommands = parent->get_subcommands(all);
    if (subcommands.empty()) return "";  // an argument of a subcommand
    CLI::App* named = nullptr;
    for (CLI::App* sub : subcommands) {
      if (sub->get_name() == word) named = sub;
    }
    if (named == nullptr) return word;
    parent = named;
  }
  return "";
}

int parse_failed(CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  CLI::App* parent = nullptr;
  const std::string unknown =
      e.get_exit_code() != 0 ? unknown_subcommand(app, argc, argv, parent) : "";
  std::string names;
  if (parent != nullptr) {
    for (CLI::App* sub : parent->get_subcommands([](CLI::App*) { return true; }))
      names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  const std::string of = parent == &app || parent == nullptr ? "" : parent->get_name() + " ";
  if (!unknown.empty()) {
    print_failure("unknown " + of + "subcommand \"" + unknown + "\"; the " + of +
                  "subcommands are " + names + " (vrx5200 " + of + "--help)");
    return kExitUsage;
  }
  // None named where one must be: say which there are.
  if (e.get_exit_code() != 0 && !names.empty() && parent->get_subcommands().empty()) {
    print_failure("give a " + of + "subcommand: " + names + " (vrx5200 " + of + "--help)");
    return kExitUsage;
  }
  const int code = app.exit(e);
  std::cout.flush();
  if (code == 0) return std::cout.good() ? kExitOk : kExitFile;
  return kExitUsage;
}

int run_tool(int argc, char** argv) {
  CLI::App app{"vrx5200: control the VRX5200 ADC/DAC evaluation board from a shell", "vrx5200"};
  GlobalOptions o;
  add_global_options(app, o);
  const std::vector<std::unique_ptr<Command>> commands = all_commands();
  std::vector<CLI::App*> parsers;
  for (const auto& command : commands) parsers.push_back(command->add_to(app));
  make_numbers_strict(app);

  // The completion script's question, answered from the parser itself.
  if (argc >= 2 && std::strcmp(argv[1], "__complete") == 0)
    return print_completions(app, argc, argv);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return parse_failed(app, e, argc, argv);
  }

  settle_remote_options(app, o.remote, o.sim || !o.library.empty());
  if (o.sim) check_simulated_boards();
  o.remote.board = o.board;
  Context ctx(o, argc > 0 && argv[0] != nullptr ? argv[0] : "vrx5200");
  for (size_t i = 0; i < commands.size(); ++i) {
    if (!parsers[i]->parsed()) continue;
    const int code = commands[i]->run(ctx);
    if (code != kExitOk) return code;
    break;
  }
  // What went to standard output must have arrived.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    fail("writing standard output failed: " + errno_text(), kExitFile);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  install_signal_handlers();
  try {
    return run_tool(argc, argv);
  } catch (const Failure& f) {
    print_failure(f.message);
    return f.exit_code;
  } catch (const std::bad_alloc&) {
    print_failure("out of memory");
  } catch (const std::ios_base::failure& e) {
    print_failure(std::string("reading or writing a file failed: ") + e.what());
    return kExitFile;
  } catch (const std::exception& e) {
    print_failure(e.what());
  }
  return kExitFailure;
}
