#pragma once
// Readable texts for libmosquitto's error codes, MQTT reason codes and property
// lists. Internal to the MQTT client (needs <mosquitto.h>).
#include <string>

#include <mosquitto.h>

namespace vantro::mqtt {

/// The reason behind a libmosquitto return code; `savedErrno` is errno as it
/// was right after the failing call (used for MOSQ_ERR_ERRNO).
std::string errorText(int rc, int savedErrno = 0);

/// The reason a broker gave in a CONNACK, e.g. "bad user name or password".
std::string connackText(int reasonCode);

/// A property list as text, e.g. "{receive-maximum: 20, retain-available: 1}";
/// "{}" for none.
std::string propertiesText(const mosquitto_property* properties);

}  // namespace vantro::mqtt
