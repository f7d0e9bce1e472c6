// vexanet-config: shows what the server derives from a configuration file, and writes a file
// that derives the settings given on the command line.
//
//   vexanet-config show [FILE] [--environment ENVFILE]
//   vexanet-config write [FILE] [--com N] [--tcp-port P] [--session MINUTES] [--manual]
//
// show also prints the access settings (VEXANET_LISTEN, VEXANET_ALLOW, VEXANET_PASSWORD,
// VEXANET_PASSWORD_FILE, VEXANET_REQUIRE_PASSWORD, VEXANET_AUTH_TIMEOUT, VEXANET_IDLE_TIMEOUT,
// VEXANET_GUESS_LIMIT) as the server reads them: from this
// process's environment, or with --environment from a service environment file such as
// /etc/default/vexanet. A password itself is never printed, only where it comes from.
//
// Exit status: 0 done, 1 the file could not be written (write) or the environment file could
// not be read (show), 2 bad arguments or values the file format cannot hold (nothing is written
// then).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "access/AccessPolicy.h"
#include "base/ConfigFile.h"
#include "policy/PolicySettings.h"

namespace acl = vexanet::access;
namespace cfg = vexanet::cfg;

namespace {

// The access settings from this process's environment, or from envFile when one is given.
// Returns false when envFile cannot be read.
bool ShowAccess(const std::string& envFile) {
  std::vector<std::string> problems;
  vexanet::EnvLookup lookup;
  std::map<std::string, std::string> values;
  if (envFile.empty()) {
    std::cout << "environment: this process\n";
    lookup = vexanet::ProcessEnvironment();
  } else {
    std::error_code ec;
    std::ifstream in;
    if (!std::filesystem::is_directory(envFile, ec)) in.open(envFile, std::ios::binary);
    if (!in.is_open()) {
      std::cout << std::flush;
      std::cerr << "vexanet-config: cannot read the environment file " << envFile << "\n";
      return false;
    }
    values = acl::ReadEnvironmentFile(in);
    std::cout << "environment: " << envFile << "\n";
    lookup = [&values](const char* name) -> std::optional<std::string> {
      const auto it = values.find(name);
      if (it == values.end()) return std::nullopt;
      return it->second;
    };
  }
  const acl::AccessSettings settings = acl::AccessSettings::FromEnvironment(lookup, problems);
  std::vector<std::string> errors;
  const vexanet::policy::PolicySettings policies =
      vexanet::policy::PolicySettings::FromEnvironment(lookup, errors);
  for (const std::string& line : settings.Describe()) std::cout << line << "\n";
  std::cout << "safety policies: " << policies.Describe() << "\n";
  for (const std::string& problem : problems) std::cout << "warning: " << problem << "\n";
  for (const std::string& error : errors) {
    std::cout << "error: " << error << " (the server does not start)\n";
  }
  std::cout << std::flush;
  return true;
}

int Show(const std::string& path, const std::string& envFile) {
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
  return ShowAccess(envFile) ? 0 : 1;
}

// The configuration file of the service instance NAME (vexanet@NAME.service): its working folder
// under /var/lib/vexanet. Empty for a name that is not letters, digits, '_' and '-'.
std::string InstancePath(const std::string& name) {
  if (name.empty() || name.size() > 64) return {};
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return {};
  }
  return std::string("/var/lib/vexanet/") + name + "/" + cfg::kFileName;
}

int Write(const std::string& path, const cfg::Request& request, bool ifMissing) {
  std::error_code ec;
  if (ifMissing && std::filesystem::exists(path, ec)) return 0;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
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
  std::string envFile;
  show->add_option("--environment", envFile,
                   "Read the VEXANET_ settings from this service environment file (such as "
                   "/etc/default/vexanet) instead of this process's environment");

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
  std::string instance;
  write->add_option("--instance", instance,
                    "Write the file of the service instance NAME (vexanet@NAME.service): "
                    "/var/lib/vexanet/NAME/VexaNetCFG.bin, in place of FILE");
  bool ifMissing = false;
  write->add_flag("--if-missing", ifMissing, "Leave an existing file as it is");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  if (*show) return Show(showPath, envFile);
  if (!instance.empty()) {
    writePath = InstancePath(instance);
    if (writePath.empty()) {
      std::cerr << "vexanet-config: instance names are letters, digits, _ and - (at most 64)\n";
      return 2;
    }
  }
  return Write(writePath, request, ifMissing);
}
