// A build without a service manager's library: nothing is told.
#include "service/ServiceManager.h"

namespace vexanet::service {
namespace {

class NoServiceManager : public ServiceManager {
 public:
  void Ready() override {}
  void Status(const std::string& /*text*/) override {}
  void Stopping() override {}
  std::optional<std::chrono::microseconds> WatchdogInterval() override { return std::nullopt; }
  void Alive() override {}
};

}  // namespace

std::unique_ptr<ServiceManager> ConnectServiceManager() {
  return std::make_unique<NoServiceManager>();
}

}  // namespace vexanet::service
