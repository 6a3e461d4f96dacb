#pragma once
// MQTT v5 client over libmosquitto, driven from the asio event loop: the
// client's socket is watched by the loop and every callback runs on the loop
// thread.
//
// Beyond the plain session it reconnects by itself after a lost connection
// (back-off 1 s doubling to 60 s; on_disconnect, then on_connect again), keeps
// QoS 1 publications made while disconnected in memory (up to
// kMaxOfflineMessages; when full the oldest is dropped with a printed line) and
// delivers them after the reconnect.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vantro/runtime/Bytes.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

/// What the broker sent along with a message.
struct MessageProperties {
  bool retain = false;
  int mid = 0;
};

class MqttClient {
 public:
  static constexpr std::size_t kMaxOfflineMessages = 100000;

  using ConnectCallback =
      std::function<void(MqttClient& client, int flags, int rc, const std::string& properties)>;
  using MessageCallback =
      std::function<void(MqttClient& client, const std::string& topic, const Bytes& payload,
                         int qos, const MessageProperties& properties)>;
  using DisconnectCallback =
      std::function<void(MqttClient& client, int packet, std::exception_ptr exc)>;

  /// Creates the client (not connected). Throws std::runtime_error if the
  /// library cannot create it.
  MqttClient(EventLoop& loop, std::string clientId, bool cleanSession,
             std::uint32_t sessionExpiryInterval);
  virtual ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  ConnectCallback on_connect;
  MessageCallback on_message;
  DisconnectCallback on_disconnect;

  void set_auth_credentials(const std::string& username, const std::string& password);

  /// Connects and returns once the broker accepted the session and on_connect
  /// has run. Throws std::runtime_error with the reason (connection refused,
  /// bad user name or password, not authorised, ...) when the broker cannot be
  /// reached or refuses; no automatic reconnection follows a failed first connect.
  Awaitable<void> connect(const std::string& host, int port, int keepalive);

  void subscribe(const std::vector<std::pair<std::string, int>>& subscriptions);

  /// Hands the message to the client; not awaited. QoS 1 and 2 messages made
  /// while disconnected are kept and sent after the (re)connect.
  virtual void publish(const std::string& topic, ByteView payload, int qos, bool retain);
  void publish(const std::string& topic, std::string_view payload, int qos, bool retain);
  /// An integer payload goes out as its decimal text.
  void publish(const std::string& topic, long long payload, int qos, bool retain);

  /// Sends DISCONNECT and returns once the connection is closed; stops the
  /// reconnection. Works also after every task of the loop has been cancelled.
  Awaitable<void> disconnect();

  bool isConnected() const;
  const std::string& clientId() const;
  /// Publications waiting for a connection or for their acknowledgement.
  std::size_t pendingCount() const;

 protected:
  /// For test doubles that record publications without a broker.
  struct NoLibrary {};
  explicit MqttClient(NoLibrary);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantro
