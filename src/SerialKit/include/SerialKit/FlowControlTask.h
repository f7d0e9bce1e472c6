// FlowControlTask: the thread that drives a driver's flow-control work for one port.
//
// SerialPortLocal::configure creates and starts it only where the platform needs the library to
// run hardware flow control itself ("Windows 95", hard flow on, a CTS/RTS or DSR/DTR handshake).
// The thread calls the driver's SerFlowTask(portNum) over and over. stop() (called by the port's
// configure, close and destructor, on the owner's thread) sets an atomic stop request that the
// loop checks after each driver call, then joins; SerFlowTask returns in bounded time, so stop()
// does too. The task holds the port's driver (shared) and no other port state.
//
// Priority: the thread raises its own priority one step when it starts. On Linux a thread's
// priority is its nice value (priority = -nice, higher is more urgent); raising it needs
// CAP_SYS_NICE, so without that it stays as it was (best effort, never an error).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace SerialKit {

class SerialPortLocal;
class NativeDriver;

class FlowControlTask {
 public:
  // Keeps the port's driver and port number and prints "FlowControlTask created".
  explicit FlowControlTask(SerialPortLocal& port);
  // Stops the thread if it runs.
  ~FlowControlTask();
  FlowControlTask(const FlowControlTask&) = delete;
  FlowControlTask& operator=(const FlowControlTask&) = delete;

  // Starts the thread (once; later calls do nothing).
  void start();
  // Requests the stop and waits for the thread to end. Safe to call more than once.
  void stop() noexcept;
  bool running() const noexcept { return running_.load(); }
  int32_t portNum() const noexcept { return portNum_; }
  SerialPortLocal& port() const noexcept { return sp_; }
  // How many SerFlowTask passes have been made.
  uint64_t passes() const noexcept { return passes_.load(); }

  // The thread's scheduling priority (see above). Before the thread runs, setFlowPriority
  // records the value to be applied when it starts; getFlowPriority returns the calling
  // process's priority then.
  void setFlowPriority(int32_t priority);
  int32_t getFlowPriority() const;

 private:
  void run();

  SerialPortLocal& sp_;
  int32_t portNum_;
  std::shared_ptr<NativeDriver> driver_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> passes_{0};
  // The running thread's id (0 when none) and a requested priority; the lock keeps a priority
  // change from reaching a thread id that has already been given back.
  mutable std::mutex priorityMutex_;
  int32_t threadId_ = 0;
  bool priorityRequested_ = false;
  int32_t requestedPriority_ = 0;
  std::thread thread_;
};

}  // namespace SerialKit
