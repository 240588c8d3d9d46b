// vrx5200 serve: the board over HTTP (server/): the front panel page and the API.
#include "server/serve.h"
#include "tools/commands.h"

namespace tool {
namespace {

class ServeCommand : public Command {
 public:
  explicit ServeCommand(const char* version) : version_(version) {}

  CLI::App* add_to(CLI::App& app) override {
    auto* serve = app.add_subcommand(
        "serve", "serve the board over HTTP: the front panel page and the API for remote scripts");
    serve
        ->add_option("--listen", options_.listen,
                     "ADDR:PORT to listen on; loopback unless a token guards it (port 0: any free)")
        ->capture_default_str();
    serve
        ->add_option("--token", options_.token,
                     "the token every API request must carry (made and printed when another "
                     "address than loopback is given without one; VRX5200_TOKEN keeps it out of "
                     "the process list)")
        ->envname("VRX5200_TOKEN");
    serve->add_option("--upload-dir", options_.upload_dir,
                      "where the server makes its own directory for uploads (default: TMPDIR)");
    serve->footer(
        "Examples:\n  vrx5200 --sim serve            (then open http://127.0.0.1:8520/)\n"
        "  vrx5200 serve --listen 0.0.0.0:8520 --token \"$(openssl rand -hex 16)\"");
    return serve;
  }

  int run(Context& ctx) override {
    options_.simulated = ctx.global.sim;
    options_.board = ctx.board_key();
    options_.version = version_;
    client::Library& lib = ctx.library();
    return server::serve(lib, options_);
  }

 private:
  const char* version_;
  server::ServeOptions options_;
};

}  // namespace

std::unique_ptr<Command> serve_command(const char* version) {
  return std::make_unique<ServeCommand>(version);
}

}  // namespace tool
