// The Windows driver on a real line, under Wine: COM1 is a pseudo-terminal of the Linux machine
// whose far end wine_pty_check.py holds. This program does the Windows side of the exchange
// through the whole library (the process driver is the one the platform chooses) and prints one
// line per step; the script checks the lines, the line settings and the bytes.
//
//   open <port number>                      COM1 opened at 9600 8N1
//   second open: <message>                  the same port again, from this process
//   sent                                    0x5A 0xC3 written and drained
//   (waits for "go" on standard input: the far end has written two bytes)
//   got <hex> <hex>                         the two bytes read, with a 5 s receive timeout
//   (waits for "go": the far end has written one more byte)
//   waiting <n>                             rxReadyCount once it reports a byte (at most 5 s)
//   after flush <n>                         rxReadyCount after rxFlush
//   silent <n>                              getByte on a silent line, 200 ms receive timeout
//   closed
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"
#include "SerialKit/SerialPortLocal.h"

namespace {

void say(const std::string& line) {
  std::cout << line << std::endl;
}

bool waitForGo() {
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line == "go";
}

std::string hex(int32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(value & 0xFF));
  return value < 0 ? std::to_string(value) : std::string(text);
}

}  // namespace

int main() {
  using SerialKit::SerialConfig;
  try {
    auto config = std::make_shared<SerialConfig>(std::string("COM1"));
    config->setBitRate(SerialConfig::BR_9600);
    config->setDataBits(SerialConfig::LN_8BITS);
    config->setParity(SerialConfig::PY_NONE);
    config->setStopBits(SerialConfig::ST_1BITS);
    config->setHandshake(SerialConfig::HS_NONE);
    SerialKit::SerialPortLocal port(config);
    say("open " + std::to_string(port.getPortNum()));

    try {
      SerialKit::SerialPortLocal again(std::make_shared<SerialConfig>(std::string("COM1")));
      say("second open: succeeded");
    } catch (const SerialKit::SerialIOException& e) {
      say(std::string("second open: ") + e.what());
    }

    port.setTimeoutRx(5000);
    port.putData(std::vector<uint8_t>{0x5A, 0xC3});
    port.txDrain();
    say("sent");

    if (!waitForGo()) return 2;
    const int32_t first = port.getByte();
    const int32_t second = port.getByte();
    say("got " + hex(first) + " " + hex(second));

    if (!waitForGo()) return 2;
    int32_t waiting = 0;
    for (int i = 0; i < 500 && waiting == 0; ++i) {
      waiting = port.rxReadyCount();
      if (waiting == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    say("waiting " + std::to_string(waiting));
    port.rxFlush();
    say("after flush " + std::to_string(port.rxReadyCount()));

    port.setTimeoutRx(200);
    say("silent " + std::to_string(port.getByte()));
    port.close();
    say("closed");
    return 0;
  } catch (const std::exception& e) {
    say(std::string("error: ") + e.what());
    return 1;
  }
}
