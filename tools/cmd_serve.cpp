// vrx5200 serve: the boards over HTTP (server/): the front panel page and the API.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "client/remote.h"
#include "client/results.h"
#include "server/serve.h"
#include "server/worker_process.h"
#include "tools/commands.h"
#include "tools/failure.h"

namespace tool {
namespace {

class ServeCommand : public Command {
 public:
  explicit ServeCommand(const char* version) : version_(version) {}

  CLI::App* add_to(CLI::App& app) override {
    auto* serve = app.add_subcommand(
        "serve",
        "serve the boards over HTTP: the front panel page and the API for remote scripts; "
        "and over SCPI with --scpi");
    serve
        ->add_option("--listen", options_.listen,
                     "ADDR:PORT to listen on (port 0: any free one); a port in use is refused")
        ->capture_default_str();
    serve->add_option("--token-file", token_file_,
                      "a file holding the token every request must carry (default: "
                      "VRX5200_TOKEN, else a new token, printed once in the panel's address)");
    // Kept for the scripts that gave it, out of the help: a token on the command line shows in
    // the process list.
    serve->add_option("--token", token_option_)->group("");
    serve->add_option("--allow-origin", options_.allow_origins,
                      "a page elsewhere that may use the API: the address of a proxy in front of "
                      "the server (https://lab.example:8443); repeat for more");
    serve->add_option("--tls-cert", options_.tls_cert, "serve HTTPS with this PEM certificate");
    serve->add_option("--tls-key", options_.tls_key, "and this PEM private key");
    serve
        ->add_option("--scpi", options_.scpi,
                     "also answer SCPI on a raw TCP socket (as LAN instruments do; 5025 by "
                     "convention): PORT on loopback, or ADDR:PORT; the same boards, queues "
                     "and token as HTTP (SYSTem:TOKen \"TOKEN\")")
        ->type_name("[ADDR:]PORT");
    serve->add_option("--upload-dir", options_.upload_dir,
                      "where the server makes its own directory for uploads (default: TMPDIR)");
    // A board's worker process, started by the server itself.
    serve->add_option("--worker", worker_)->group("");
    serve->footer(
        "Every board of the host is served, each in a worker process of its own; --board names "
        "the default one.\nExamples:\n"
        "  vrx5200 --sim serve     (then open the address it prints, with its #token=...)\n"
        "  vrx5200 serve --listen 0.0.0.0:8520 --token-file ~/.config/vrx5200/token\n"
        "  vrx5200 --sim serve --scpi 5025   (PyVISA: TCPIP::127.0.0.1::5025::SOCKET, \"\\n\" "
        "termination)");
    return serve;
  }

  int run(Context& ctx) override {
    if (!worker_.empty()) {
      return server::serve_worker(ctx.library(), ctx.global.sim, 3, worker_);
    }
    options_.simulated = ctx.global.sim;
    options_.board = ctx.board_key();
    options_.version = version_;
    client::Library& lib = ctx.library();
    // A board's worker is this program again, with the same library.
    options_.worker_command = {"/proc/self/exe"};
    if (ctx.global.sim) options_.worker_command.push_back("--sim");
    options_.worker_command.insert(options_.worker_command.end(),
                                   {"--library", lib.path, "serve", "--worker"});
    if (!token_option_.empty()) {
      std::fprintf(stderr,
                   "vrx5200: warning: --token shows in the process list; use VRX5200_TOKEN or "
                   "--token-file\n");
      options_.token = token_option_;
    } else if (!token_file_.empty()) {
      std::ifstream in(token_file_);
      std::ostringstream text;
      text << in.rdbuf();
      if (!in) fail("cannot read the token file \"" + token_file_ + "\"", client::kExitFile);
      options_.token = client::trim_token(text.str());
      // Not taken for "none given": the clients reading that file would have no token.
      if (options_.token.empty()) {
        fail("the token file \"" + token_file_ + "\" holds no token", client::kExitUsage);
      }
    } else if (const char* env = std::getenv("VRX5200_TOKEN")) {
      options_.token = env;
    }
    return server::serve(lib, options_);
  }

 private:
  const char* version_;
  server::ServeOptions options_;
  std::string token_file_, token_option_, worker_;
};

}  // namespace

std::unique_ptr<Command> serve_command(const char* version) {
  return std::make_unique<ServeCommand>(version);
}

}  // namespace tool
