#include "vantro/mqtt/MosquittoText.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>
#include <mqtt_protocol.h>

namespace vantro::mqtt {
namespace {

std::string lowercase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const char* propertyName(int id) {
  switch (id) {
    case MQTT_PROP_PAYLOAD_FORMAT_INDICATOR:
      return "payload-format-indicator";
    case MQTT_PROP_MESSAGE_EXPIRY_INTERVAL:
      return "message-expiry-interval";
    case MQTT_PROP_CONTENT_TYPE:
      return "content-type";
    case MQTT_PROP_RESPONSE_TOPIC:
      return "response-topic";
    case MQTT_PROP_CORRELATION_DATA:
      return "correlation-data";
    case MQTT_PROP_SUBSCRIPTION_IDENTIFIER:
      return "subscription-identifier";
    case MQTT_PROP_SESSION_EXPIRY_INTERVAL:
      return "session-expiry-interval";
    case MQTT_PROP_ASSIGNED_CLIENT_IDENTIFIER:
      return "assigned-client-identifier";
    case MQTT_PROP_SERVER_KEEP_ALIVE:
      return "server-keep-alive";
    case MQTT_PROP_AUTHENTICATION_METHOD:
      return "authentication-method";
    case MQTT_PROP_AUTHENTICATION_DATA:
      return "authentication-data";
    case MQTT_PROP_REQUEST_PROBLEM_INFORMATION:
      return "request-problem-information";
    case MQTT_PROP_WILL_DELAY_INTERVAL:
      return "will-delay-interval";
    case MQTT_PROP_REQUEST_RESPONSE_INFORMATION:
      return "request-response-information";
    case MQTT_PROP_RESPONSE_INFORMATION:
      return "response-information";
    case MQTT_PROP_SERVER_REFERENCE:
      return "server-reference";
    case MQTT_PROP_REASON_STRING:
      return "reason-string";
    case MQTT_PROP_RECEIVE_MAXIMUM:
      return "receive-maximum";
    case MQTT_PROP_TOPIC_ALIAS_MAXIMUM:
      return "topic-alias-maximum";
    case MQTT_PROP_TOPIC_ALIAS:
      return "topic-alias";
    case MQTT_PROP_MAXIMUM_QOS:
      return "maximum-qos";
    case MQTT_PROP_RETAIN_AVAILABLE:
      return "retain-available";
    case MQTT_PROP_USER_PROPERTY:
      return "user-property";
    case MQTT_PROP_MAXIMUM_PACKET_SIZE:
      return "maximum-packet-size";
    case MQTT_PROP_WILDCARD_SUB_AVAILABLE:
      return "wildcard-subscription-available";
    case MQTT_PROP_SUBSCRIPTION_ID_AVAILABLE:
      return "subscription-identifier-available";
    case MQTT_PROP_SHARED_SUB_AVAILABLE:
      return "shared-subscription-available";
    default:
      return nullptr;
  }
}

// The value of one property as text. Each read function only matches a
// property of its own type, so the first one that matches decides.
std::string propertyValue(const mosquitto_property* p, int id) {
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  if (mosquitto_property_read_byte(p, id, &u8, false)) return std::to_string(u8);
  if (mosquitto_property_read_int16(p, id, &u16, false)) return std::to_string(u16);
  if (mosquitto_property_read_int32(p, id, &u32, false)) return std::to_string(u32);
  if (mosquitto_property_read_varint(p, id, &u32, false)) return std::to_string(u32);
  char* name = nullptr;
  char* value = nullptr;
  if (mosquitto_property_read_string_pair(p, id, &name, &value, false)) {
    std::string text = fmt::format("'{}': '{}'", name ? name : "", value ? value : "");
    std::free(name);
    std::free(value);
    return text;
  }
  if (mosquitto_property_read_string(p, id, &value, false)) {
    std::string text = fmt::format("'{}'", value ? value : "");
    std::free(value);
    return text;
  }
  void* data = nullptr;
  std::uint16_t len = 0;
  if (mosquitto_property_read_binary(p, id, &data, &len, false)) {
    std::free(data);
    return fmt::format("<{} bytes>", len);
  }
  return "?";
}

}  // namespace

std::string errorText(int rc, int savedErrno) {
  switch (rc) {
    case MOSQ_ERR_ERRNO:
      return lowercase(savedErrno ? std::strerror(savedErrno) : "system call failed");
    case MOSQ_ERR_EAI:
      return "cannot resolve the host name";
    default:
      return fmt::format("{} ({})", mosquitto_strerror(rc), rc);
  }
}

std::string connackText(int reasonCode) {
  // MQTT 3.1.1 codes 1 to 5 have their own texts; version 5 codes are 128 up.
  std::string text = reasonCode >= 1 && reasonCode <= 5 ? mosquitto_connack_string(reasonCode)
                                                        : mosquitto_reason_string(reasonCode);
  text = lowercase(text);
  if (text.rfind("connection refused: ", 0) == 0) text.erase(0, 20);
  while (!text.empty() && text.back() == '.') text.pop_back();
  return fmt::format("{} (reason code {})", text, reasonCode);
}

std::string propertiesText(const mosquitto_property* properties) {
  std::string out = "{";
  for (const mosquitto_property* p = properties; p; p = mosquitto_property_next(p)) {
    const int id = mosquitto_property_identifier(p);
    if (out.size() > 1) out += ", ";
    const char* name = propertyName(id);
    out += name ? std::string(name) : fmt::format("property-{}", id);
    out += ": ";
    out += propertyValue(p, id);
  }
  out += "}";
  return out;
}

}  // namespace vantro::mqtt
