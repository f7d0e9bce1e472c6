// vexanet-config: shows what the server derives from a configuration file, and writes a file
// that derives the settings given on the command line.
//
//   vexanet-config show [FILE]
//   vexanet-config write [FILE] [--com N] [--tcp-port P] [--session MINUTES] [--manual]
//
// Exit status: 0 done, 1 the file could not be written, 2 bad arguments or values the file
// format cannot hold (nothing is written then).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "startup/ConfigFile.h"

namespace cfg = vexanet::cfg;

namespace {

int Show(const std::string& path) {
  cfg::Buffer buffer{};
  const cfg::LoadResult result = cfg::Load(path, buffer);
  switch (result.state) {
    case cfg::LoadState::Missing:
      std::cout << "no file " << path << ": the server uses the defaults\n";
      break;
    case cfg::LoadState::Unreadable:
      std::cout << "cannot read " << path << " (" << result.reason
                << "): the server uses the defaults\n";
      break;
    case cfg::LoadState::Loaded:
      break;
  }
  cfg::Settings s;
  cfg::Interpret(buffer, s);
  std::cout << "comport: " << s.comport << "\n"
            << "devtype: " << s.devtype << "\n"
            << "port: " << s.port << "\n"
            << "to: " << s.to << "\n"
            << "autoaccept: " << (s.autoaccept ? "true" : "false") << "\n"
            << std::flush;
  return 0;
}

int Write(const std::string& path, const cfg::Request& request) {
  std::vector<uint8_t> bytes;
  try {
    bytes = cfg::Encode(request);
  } catch (const std::invalid_argument& e) {
    std::cerr << "vexanet-config: " << e.what() << "; nothing written\n";
    return 2;
  }
  try {
    cfg::WriteAtomically(path, bytes);
  } catch (const std::exception& e) {
    std::cerr << "vexanet-config: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Shows and writes the VexaNet Server configuration file"};
  app.require_subcommand(1);

  std::string showPath = cfg::kFileName;
  auto* show = app.add_subcommand("show", "Print the settings the server derives from FILE");
  show->add_option("FILE", showPath, "Configuration file")->capture_default_str();

  std::string writePath = cfg::kFileName;
  cfg::Request request;
  auto* write = app.add_subcommand("write", "Write FILE so that the server derives these settings");
  write->add_option("FILE", writePath, "Configuration file")->capture_default_str();
  write->add_option("--com", request.com, "Serial port number, 0 for no port (COM0)")
      ->capture_default_str();
  write->add_option("--tcp-port", request.tcpPort, "Listening TCP port, 2873 to 3128")
      ->capture_default_str();
  write
      ->add_option("--session", request.minutes,
                   "Session time in minutes: 0 (no limit), 1, 5, 10, 15, 30, 60")
      ->capture_default_str();
  write->add_flag("--manual", request.manual,
                  "Do not accept clients automatically (no listening socket)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  if (*show) return Show(showPath);
  return Write(writePath, request);
}
