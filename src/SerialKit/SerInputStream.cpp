#include "SerialKit/SerInputStream.h"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace SerialKit {

SerInputStream::SerInputStream(std::shared_ptr<SerialPort> port) {
  if (!port || port->getPortNum() < 0) throw SerialIOException("Port not open");
  sp = std::move(port);
  sp->setTimeoutRx(0);
}

int32_t SerInputStream::read() {
  for (;;) {
    const int32_t b = sp->getByte();
    if (b != -1) return b & 0xFF;
    std::this_thread::sleep_for(kPollInterval);
  }
}

int32_t SerInputStream::read(std::span<uint8_t> buf) {
  // Nothing can ever be stored into an empty array: waiting for it would never end.
  if (buf.empty()) return 0;
  for (;;) {
    const int32_t n = sp->getData(buf);
    if (n > 0) return static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(n), buf.size()));
    std::this_thread::sleep_for(kPollInterval);
  }
}

int32_t SerInputStream::read(std::span<uint8_t> buf, int32_t offset, int32_t length) {
  const bool haveBuf = buf.data() != nullptr;
  // Checked before reading, so that no received byte is lost to a bad range.
  if (length < 0 || (haveBuf && (offset < 0 || static_cast<size_t>(offset) > buf.size() ||
                                 static_cast<size_t>(length) > buf.size() - offset))) {
    throw std::out_of_range("read: offset or length out of bounds");
  }
  std::vector<uint8_t> tmp(static_cast<size_t>(length));
  const int32_t n = read(std::span<uint8_t>(tmp));
  if (!haveBuf) return 0;
  std::copy_n(tmp.begin(), n, buf.begin() + offset);
  return n;
}

int32_t SerInputStream::available() {
  return sp->rxReadyCount();
}

void SerInputStream::close() {
  sp->close();
}

}  // namespace SerialKit
