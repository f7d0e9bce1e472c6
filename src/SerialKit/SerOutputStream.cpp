#include "SerialKit/SerOutputStream.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace SerialKit {

SerOutputStream::SerOutputStream(std::shared_ptr<SerialPort> port) {
  if (!port || port->getPortNum() < 0) throw SerialIOException("Port not open");
  sp = std::move(port);
  sp->setTimeoutTx(kTxTimeoutMs);
}

void SerOutputStream::write(int32_t value) {
  sp->putByte(static_cast<uint8_t>(value & 0xFF));
}

void SerOutputStream::write(std::span<const uint8_t> data) {
  sp->putData(data);
}

void SerOutputStream::write(std::span<const uint8_t> data, int32_t offset, int32_t length) {
  if (offset < 0 || length < 0 || static_cast<size_t>(offset) > data.size() ||
      static_cast<size_t>(length) > data.size() - offset) {
    throw std::out_of_range("write: offset or length out of bounds");
  }
  const std::vector<uint8_t> copy(data.begin() + offset, data.begin() + offset + length);
  sp->putData(std::span<const uint8_t>(copy));
}

void SerOutputStream::flush() {
  while (sp->txBufCount() > 0) {
  }
}

}  // namespace SerialKit
