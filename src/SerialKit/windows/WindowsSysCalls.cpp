#include "WindowsSysCalls.h"

#include <vector>

namespace SerialKit {

namespace {

class RealSysCalls final : public WindowsSysCalls {
 public:
  HANDLE createFile(const char* path, DWORD access, DWORD shareMode, DWORD creation,
                    DWORD flags) override {
    return ::CreateFileA(path, access, shareMode, nullptr, creation, flags, nullptr);
  }
  BOOL closeHandle(HANDLE h) override { return ::CloseHandle(h); }
  BOOL getCommState(HANDLE h, DCB* dcb) override {
    dcb->DCBlength = sizeof(DCB);
    return ::GetCommState(h, dcb);
  }
  BOOL setCommState(HANDLE h, const DCB* dcb) override {
    DCB copy = *dcb;  // SetCommState takes a non-const pointer but does not write through it
    copy.DCBlength = sizeof(DCB);
    return ::SetCommState(h, &copy);
  }
  BOOL setupComm(HANDLE h, DWORD inQueue, DWORD outQueue) override {
    return ::SetupComm(h, inQueue, outQueue);
  }
  BOOL setCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) override {
    COMMTIMEOUTS copy = *timeouts;
    return ::SetCommTimeouts(h, &copy);
  }
  BOOL readFile(HANDLE h, void* buf, DWORD count, DWORD* read) override {
    return ::ReadFile(h, buf, count, read, nullptr);
  }
  BOOL writeFile(HANDLE h, const void* buf, DWORD count, DWORD* written) override {
    return ::WriteFile(h, buf, count, written, nullptr);
  }
  BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) override {
    return ::ClearCommError(h, errors, stat);
  }
  BOOL escapeCommFunction(HANDLE h, DWORD function) override {
    return ::EscapeCommFunction(h, function);
  }
  BOOL getCommModemStatus(HANDLE h, DWORD* status) override {
    return ::GetCommModemStatus(h, status);
  }
  BOOL purgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
  BOOL flushFileBuffers(HANDLE h) override { return ::FlushFileBuffers(h); }
  DWORD lastError() override { return ::GetLastError(); }
  void sleepMs(DWORD ms) override { ::Sleep(ms); }
  std::optional<std::string> getEnv(const char* name) override {
    const DWORD size = ::GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    std::vector<char> value(size);
    const DWORD length = ::GetEnvironmentVariableA(name, value.data(), size);
    if (length == 0 || length >= size) return std::nullopt;  // changed meanwhile
    return std::string(value.data(), length);
  }
};

}  // namespace

std::shared_ptr<WindowsSysCalls> realWindowsSysCalls() {
  static const std::shared_ptr<WindowsSysCalls> sys = std::make_shared<RealSysCalls>();
  return sys;
}

}  // namespace SerialKit
