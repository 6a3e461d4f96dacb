#pragma once
// MQTT v5 client over libmosquitto, driven from the asio event loop: the
// client's socket is watched by the loop and every callback runs on the loop
// thread.
//
// Nothing it does blocks the loop: the broker's host name is looked up on a
// thread of its own, and the TCP connect is non-blocking with a deadline.
//
// Beyond the plain session it keeps connecting by itself: connectInBackground()
// tries until the broker takes the session, and after a lost connection the
// client reconnects the same way (back-off 1 s doubling to 60 s, one printed
// line per failed attempt; on_disconnect, then on_connect again). QoS 1
// publications wait in a PublicationQueue until the broker acknowledges them:
// in memory by default (up to kMaxOfflineMessages; when full the oldest is
// dropped with a printed line), or in its outbox on disk. They are committed
// at the end of the loop pass that made them and delivered, oldest first,
// once connected; a bounded window of them is in flight at a time. QoS 0
// publications go out only while connected. Not thread-safe: use it on the
// loop thread only, and destroy it before the loop.
//
// Set-up before the connect: credentials, a will, TLS. Over TLS the handshake
// runs inside the same non-blocking reads and writes; it counts towards the
// attempt's CONNACK deadline, and a failed one ends the attempt with the
// reason ("TLS handshake failed: certificate verify failed: certificate has
// expired (...)").
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vantro/outbox/PublicationQueue.hpp"
#include "vantro/runtime/Bytes.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class TlsCredentials;

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

  // Called on the loop thread. on_connect: after every accepted CONNACK, with
  // its session-present flag, reason code and properties as text
  // ("{receive-maximum: 20, ...}"). on_message: for every message received.
  // on_disconnect: when an established connection closes, with libmosquitto's
  // code (0 after disconnect()) and, when lost, an exception saying why. What
  // a callback throws is printed; the client goes on.
  ConnectCallback on_connect;
  MessageCallback on_message;
  DisconnectCallback on_disconnect;

  void set_auth_credentials(const std::string& username, const std::string& password);

  /// Sets the will: what the broker publishes for this client when the
  /// connection ends without a DISCONNECT (the program killed, the network
  /// lost, the keep-alive run out). It goes with every CONNECT from the next
  /// one on. Throws std::invalid_argument for a QoS outside 0..2, a topic that
  /// is not a valid topic name, or an oversized payload.
  void setWill(const std::string& topic, std::string_view payload, int qos, bool retain);

  /// Connects over TLS with `credentials` from the next attempt on. The
  /// broker's certificate must chain up to the trusted ones and, unless the
  /// credentials say otherwise, name the host given to connect() (a numeric
  /// address must be among its IP addresses). Throws std::logic_error unless
  /// the client is idle, std::runtime_error when OpenSSL cannot set it up.
  void setTls(std::shared_ptr<const TlsCredentials> credentials);

  /// One connection attempt; returns once the broker accepted the session and
  /// on_connect has run. Throws std::runtime_error with the reason (connection
  /// refused, no answer, bad user name or password, not authorised, ...) when
  /// the broker cannot be reached or refuses; no further attempt follows a
  /// failed one. The wait is bounded by the attempt's deadlines: 10 s for the
  /// name look-up, 10 s for the TCP handshake, 30 s for the CONNACK.
  /// Cancellation abandons the attempt and throws Cancelled. std::logic_error
  /// unless the client is idle (neither connected nor connecting).
  Awaitable<void> connect(const std::string& host, int port, int keepalive);

  /// Starts connecting and returns at once. Attempts follow one another until
  /// the broker takes the session (on_connect runs then); each failed one
  /// prints "MQTT connect to HOST:PORT failed: REASON; next attempt in N s"
  /// and waits its back-off. disconnect() stops it. Does nothing while the
  /// client is connected or connecting already.
  void connectInBackground(const std::string& host, int port, int keepalive);

  /// Subscribes to each topic filter with its QoS; not awaited. Throws
  /// std::runtime_error when libmosquitto refuses (not connected, bad filter).
  void subscribe(const std::vector<std::pair<std::string, int>>& subscriptions);
  /// Removes each subscription (one the session may keep from an earlier
  /// run); not awaited. A filter without a subscription is no error. Throws
  /// std::runtime_error when libmosquitto refuses (not connected, bad filter).
  void unsubscribe(const std::vector<std::string>& filters);

  /// Hands the message to the client; not awaited. QoS 1 and 2 messages made
  /// while disconnected are kept and sent after the (re)connect. Throws
  /// std::invalid_argument for a QoS outside 0..2, a topic that is not a valid
  /// topic name, or an oversized payload.
  virtual void publish(const std::string& topic, ByteView payload, int qos, bool retain);
  void publish(const std::string& topic, std::string_view payload, int qos, bool retain);
  /// An integer payload goes out as its decimal text.
  void publish(const std::string& topic, long long payload, int qos, bool retain);
  /// For a state that is published again at every connect (the gateway's
  /// status): handed to libmosquitto at once, ahead of publications waiting
  /// in the queue, and dropped while disconnected. Throws as publish().
  void publishAtOnce(const std::string& topic, std::string_view payload, int qos, bool retain);

  /// Sends DISCONNECT and returns once the connection is closed; stops the
  /// reconnection. An attempt in progress (look-up, handshake, CONNACK) or a
  /// back-off wait ends at once. Publications waiting for their acknowledgement get up to
  /// 3 s first, the broker 2 s to close. Cancellation does not interrupt it, so
  /// it works also after every task of the loop has been cancelled (a pending
  /// cancellation surfaces at the caller's next await). on_disconnect runs
  /// (packet 0, no exception) if the client was connected.
  ///
  /// The broker drops the will at a DISCONNECT. With
  /// WillAtDisconnect::PublishIfUndelivered, a DISCONNECT that goes out while
  /// publications are still unacknowledged asks the broker to publish the will
  /// all the same (reason code 4): it stands in for a last word that may not
  /// have got through.
  enum class WillAtDisconnect { Drop, PublishIfUndelivered };
  Awaitable<void> disconnect(WillAtDisconnect will = WillAtDisconnect::Drop);

  bool isConnected() const;
  const std::string& clientId() const;
  /// Publications waiting for a connection or for their acknowledgement.
  std::size_t pendingCount() const;
  /// Lowers the limit of publications kept in memory (tests); the default is
  /// kMaxOfflineMessages.
  void setMaxOfflineMessages(std::size_t count);
  /// Keeps QoS 1 publications in `queue` (shared with the clients of later
  /// runs) from now on; what this client handed over unacknowledged goes back
  /// to its earlier queue.
  void setPublicationQueue(std::shared_ptr<PublicationQueue> queue);

 protected:
  /// For test doubles that record publications without a broker.
  struct NoLibrary {};
  explicit MqttClient(NoLibrary);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantro
