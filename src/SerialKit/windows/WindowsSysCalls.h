// WindowsSysCalls: the Win32 calls the Windows driver makes, behind one small interface.
//
// The driver makes every system call through this seam so that tests can put a fake device
// beneath it and check what Wine cannot show (a second open refused, modem lines, line errors,
// unplugged adapters). Each call behaves like the Win32 function of the same name: FALSE (for
// createFile INVALID_HANDLE_VALUE) on failure, with the reason in lastError().
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace SerialKit {

class WindowsSysCalls {
 public:
  virtual ~WindowsSysCalls() = default;

  // CreateFileA without security attributes or template.
  virtual HANDLE createFile(const char* path, DWORD access, DWORD shareMode, DWORD creation,
                            DWORD flags) = 0;
  virtual BOOL closeHandle(HANDLE h) = 0;
  virtual BOOL getCommState(HANDLE h, DCB* dcb) = 0;
  virtual BOOL setCommState(HANDLE h, const DCB* dcb) = 0;
  virtual BOOL setupComm(HANDLE h, DWORD inQueue, DWORD outQueue) = 0;
  virtual BOOL setCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) = 0;
  // ReadFile / WriteFile on a handle opened without FILE_FLAG_OVERLAPPED.
  virtual BOOL readFile(HANDLE h, void* buf, DWORD count, DWORD* read) = 0;
  virtual BOOL writeFile(HANDLE h, const void* buf, DWORD count, DWORD* written) = 0;
  virtual BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) = 0;
  virtual BOOL escapeCommFunction(HANDLE h, DWORD function) = 0;
  virtual BOOL getCommModemStatus(HANDLE h, DWORD* status) = 0;
  virtual BOOL purgeComm(HANDLE h, DWORD flags) = 0;
  virtual BOOL flushFileBuffers(HANDLE h) = 0;
  // GetLastError of the calling thread, right after the failed call.
  virtual DWORD lastError() = 0;
  virtual void sleepMs(DWORD ms) = 0;
  // An environment variable's value; nothing when it is not set.
  virtual std::optional<std::string> getEnv(const char* name) = 0;
};

// The real Win32 calls.
std::shared_ptr<WindowsSysCalls> realWindowsSysCalls();

}  // namespace SerialKit
