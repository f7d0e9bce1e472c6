#include "serial/SerOutPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "SerialKit/SerInputStream.h"
#include "SerialKit/SerOutputStream.h"
#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"
#include "SerialKit/SerialPortLocal.h"
#include "startup/Console.h"
#include "startup/Hex.h"

namespace {

using SerialKit::SerialConfig;

// Pause after every successful send; the relay board's timing rests on it.
constexpr std::chrono::milliseconds kSendPause{150};

// The class-wide values: the code of the most recent construction and the trace of the last
// exchange. Any object's thread may write them; the trace is read-modify-written by ReadSer.
std::atomic<int32_t> gNoCOM{SerOutPort::kUsable};

struct Trace {
  std::mutex m;
  std::string text;
};

Trace& TheTrace() {
  static Trace trace;
  return trace;
}

void SetTrace(std::string text) {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  t.text = std::move(text);
}

void AppendTrace(const std::string& text) {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  t.text += text;
}

std::string Hex(std::span<const uint8_t> bytes, size_t n) {
  const size_t clamped =
      std::min<size_t>(n, static_cast<size_t>(std::numeric_limits<int32_t>::max()));
  return vexanet::hex::BS2S(bytes, static_cast<int32_t>(clamped));
}

}  // namespace

// Every field is guarded by m. The port object and its streams are used by one thread at a time
// only, so a send or a read holds m while it talks to the port; the pause after a send does not.
struct SerOutPort::State {
  std::mutex m;
  int32_t txBuf = 2048;
  int32_t rxBuf = 4096;
  int32_t numBytes = 0;
  int32_t SerError = 0;
  std::shared_ptr<SerialConfig> serCfg;
  std::shared_ptr<SerialKit::SerialPort> serialPort;
  std::unique_ptr<SerialKit::SerOutputStream> SerialOutStream;
  std::unique_ptr<SerialKit::SerInputStream> SerialInStream;
  Buffer serin{};
  // A send to an open port failed and no send has succeeded since: said once on the console.
  bool failing = false;

  // The console hears of the first failure of a run of failed sends, not of every one.
  void SendFailed(const std::string& reason) {
    SerError = 1;
    if (!failing) vexanet::ConsoleLine("Serial line send failed: " + reason);
    failing = true;
  }
};

SerOutPort::SerOutPort(const std::string& portName, const std::string& /*devType*/,
                       int32_t /*rate*/, int32_t /*dataBits*/, int32_t /*stopBits*/,
                       const std::string& /*parity*/, const std::string& /*handshake*/)
    : st_(std::make_unique<State>()) {
  // No other thread knows this object yet; the lock only keeps the rule "fields under m".
  std::lock_guard lock(st_->m);
  st_->serCfg = std::make_shared<SerialConfig>(portName);
  SerialConfig& cfg = *st_->serCfg;
  cfg.setBitRate(SerialConfig::BR_9600);
  cfg.setParity(SerialConfig::PY_NONE);
  cfg.setHandshake(SerialConfig::HS_NONE);
  cfg.setStopBits(SerialConfig::ST_1BITS);
  cfg.setDataBits(SerialConfig::LN_8BITS);
  cfg.setHardFlow(false);
  cfg.setTxLen(st_->txBuf);
  cfg.setRxLen(st_->rxBuf);

  gNoCOM.store(kUsable);
  // "COM0" asks for no line at all; sends then take the failed-send path.
  if (portName == "COM0") return;

  try {
    st_->serialPort = std::make_shared<SerialKit::SerialPortLocal>(st_->serCfg);
  } catch (const SerialKit::SerialIOException& e) {
    vexanet::ConsoleLine(std::string("SerialIOException: ") + e.what());
    gNoCOM.store(kOpenFailed);
    return;
  } catch (const std::exception& e) {
    vexanet::ConsoleLine(e.what());
    gNoCOM.store(kOpenFailed);
    return;
  }
  try {
    st_->SerialOutStream = std::make_unique<SerialKit::SerOutputStream>(st_->serialPort);
  } catch (const std::exception&) {
    gNoCOM.store(kOutStreamFailed);
  }
  try {
    st_->SerialInStream = std::make_unique<SerialKit::SerInputStream>(st_->serialPort);
  } catch (const std::exception&) {
    gNoCOM.store(kInStreamFailed);
  }
}

SerOutPort::~SerOutPort() = default;

int32_t SerOutPort::NoCOM() {
  return gNoCOM.load();
}

std::string SerOutPort::iodebug() {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  return t.text;
}

SerOutPort::Buffer SerOutPort::SendSerial(std::span<const uint8_t> bytes) {
  {
    std::lock_guard lock(st_->m);
    st_->SerError = 0;
  }
  SetTrace(std::string());
  if (SendSer(bytes)) std::this_thread::sleep_for(kSendPause);
  std::lock_guard lock(st_->m);
  return st_->serin;
}

bool SerOutPort::SendSer(std::span<const uint8_t> bytes) {
  SetTrace("Serial Out: " + Hex(bytes, bytes.size()) + "  ");
  std::lock_guard lock(st_->m);
  if (!st_->SerialOutStream) {
    st_->SerError = 1;
    return false;
  }
  try {
    st_->SerialOutStream->write(bytes);
    st_->failing = false;
    return true;
  } catch (const std::exception& e) {
    st_->SendFailed(e.what());
  }
  return false;
}

bool SerOutPort::SendSer(const std::string& text) {
  SetTrace("Serial Out: " + text + "  ");
  std::lock_guard lock(st_->m);
  try {
    // A text goes to the port directly, not through the output stream.
    if (st_->serialPort) {
      st_->serialPort->putString(text + '\n');
      st_->failing = false;
      return true;
    }
  } catch (const std::exception& e) {
    st_->SendFailed(e.what());
    return false;
  }
  st_->SerError = 1;
  return false;
}

SerOutPort::Buffer SerOutPort::ReadSer() {
  std::lock_guard lock(st_->m);
  st_->numBytes = 0;
  try {
    // Without an input stream there is no line to read from: a failed read.
    if (!st_->SerialInStream) throw SerialKit::SerialIOException("no input stream");
    while (st_->SerialInStream->available() > 0) {
      st_->numBytes = st_->SerialInStream->read(std::span<uint8_t>(st_->serin));
    }
    AppendTrace("Serial In: " + Hex(st_->serin, static_cast<size_t>(st_->numBytes)));
  } catch (const std::exception&) {
    st_->SerError = 2;
  }
  return st_->serin;
}

int32_t SerOutPort::SerCount() const {
  std::lock_guard lock(st_->m);
  return st_->numBytes;
}

int32_t SerOutPort::GetSerError() const {
  std::lock_guard lock(st_->m);
  return st_->SerError;
}
