// vexanet-service: the server as a Windows service.
//
//   vexanet-service install [--data-folder DIR] [--server PATH]
//   vexanet-service start | stop | status | remove
//
// install registers the service "VexaNet" (display name "VexaNet Server"), started at boot
// without a window, or brings an installed one up to date. It runs vexanet-server.exe from this
// program's folder (or --server) in DIR (default %ProgramData%\VexaNet): the server's
// VexaNetCFG.bin and vexanet.env (VEXANET_* settings, one NAME=value per line) are read there,
// and its console lines go to vexanet-server.log there. start and stop wait until the service
// runs or has stopped; remove stops it first. Needs an administrator.
//
// Exit status: 0 done (also: stop of a service that is not running, remove of one that is not
// installed), 1 failed, 2 bad arguments.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "service/WindowsService.h"

namespace svc = vexanet::service;

int main(int argc, char** argv) {
  CLI::App app{"Installs, starts, stops and removes the VexaNet Server Windows service"};
  app.require_subcommand(1, 1);
  svc::ServiceTarget target = svc::DefaultWindowsServiceTarget();
  CLI::App* install = app.add_subcommand("install", "register the service (started at boot)");
  install->add_option("--data-folder", target.dataFolder,
                      "where the service works: configuration, vexanet.env, log")
      ->capture_default_str();
  install->add_option("--server", target.server, "the server program")->capture_default_str();
  CLI::App* start = app.add_subcommand("start", "start the service and wait until it runs");
  CLI::App* stop = app.add_subcommand("stop", "stop the service and wait until it has stopped");
  CLI::App* status = app.add_subcommand("status", "say whether it is installed and running");
  CLI::App* remove = app.add_subcommand("remove", "stop and unregister the service");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (install->parsed()) return svc::InstallWindowsService(target);
  if (start->parsed()) return svc::StartWindowsService();
  if (stop->parsed()) return svc::StopWindowsService();
  if (status->parsed()) return svc::ShowWindowsService();
  if (remove->parsed()) return svc::RemoveWindowsService();
  return 2;
}
