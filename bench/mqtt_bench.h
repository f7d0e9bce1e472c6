// The MQTT bridge's figure: a set message published to a broker (Debian's mosquitto, started
// here) to the command byte on the serial end, against the line protocol's "R1On" to the byte
// (same server, alternating).
#pragma once

#include <vector>

#include "ServerProcess.h"

namespace vexanet::bench {

struct MqttFigures {
  std::vector<double> setToByte, lineToByte;  // microseconds
};

MqttFigures MeasureMqtt(const e2e::Programs& programs, bool quick);

}  // namespace vexanet::bench
