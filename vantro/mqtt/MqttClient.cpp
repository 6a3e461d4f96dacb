#include "vantro/mqtt/MqttClient.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <asio/generic/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "vantro/mqtt/HostLookup.hpp"
#include "vantro/mqtt/LibcOverrides.hpp"
#include "vantro/mqtt/MosquittoText.hpp"
#include "vantro/mqtt/TlsContext.hpp"
#include "vantro/runtime/Backoff.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
using mqtt::connackText;
using mqtt::errorText;

// How long an attempt may take per phase: the name look-up, the TCP handshake
// (a broker's host answers a SYN within milliseconds; unanswered SYNs would
// otherwise keep the attempt open for the kernel's two minutes of retries),
// and the broker's CONNACK once the TCP connection stands.
constexpr Duration kLookupTimeout = 10s;
constexpr Duration kTcpConnectTimeout = 10s;
constexpr Duration kConnackTimeout = 30s;
// libmosquitto wants loop_misc about once a second for keep-alive pings.
constexpr Duration kMiscInterval = 1s;
// At disconnect, publications still waiting for their acknowledgement get this
// long to be acknowledged before DISCONNECT goes out.
constexpr Duration kDrainTimeout = 3s;
// The broker closes its side soon after DISCONNECT; do not wait longer for it.
constexpr Duration kCloseTimeout = 2s;
// How often disconnect() looks at the connection while it waits.
constexpr Duration kPollInterval = 10ms;
// Publications handed to libmosquitto at a time. Its queue is a list that it
// scans on every publish, so the rest waits in our own deque; the window is
// above the broker's usual receive maximum (20) so the link stays busy.
constexpr std::size_t kWindow = 100;
// Packets (or full buffers) read from the socket in one go before the loop
// serves others.
constexpr int kReadBatch = 64;
// Connected over plain TCP with no publication waiting for an acknowledgement
// before it can go out, the broker's socket wakes the loop only once this many
// bytes wait in it (SO_RCVLOWAT). An acknowledgement is 4 or 5 bytes and a
// PINGRESP 2: one of those waits until the loop next hands publications over
// or does its housekeeping (kMiscInterval), and is read then. So at a steady
// rate the acknowledgement of one reading is read with the next reading,
// without a wake-up of its own. A second acknowledgement, any PUBLISH (a
// command: at least 8 bytes with a topic of three) and the end of the
// connection wake the loop at once.
constexpr int kQuietBytes = 8;
// How soon a commit refused by a locked outbox is tried again.
constexpr Duration kCommitRetryDelay = 20ms;
// Largest payload MQTT can carry.
constexpr std::size_t kMaxPayload = 268435455;

long long wholeSeconds(Duration d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

// True once the socket's TCP handshake has completed.
bool peerConnected(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

struct MosquittoDeleter {
  void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};

struct PropertiesDeleter {
  void operator()(mosquitto_property* p) const { mosquitto_property_free_all(&p); }
};

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

// Return codes of mosquitto_publish_v5 after which the message sits in
// libmosquitto's queue: it goes out (again) once the connection is up.
bool queuedByLibrary(int rc) {
  return rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST ||
         rc == MOSQ_ERR_ERRNO;
}

// A publication handed to libmosquitto and not acknowledged yet.
struct InFlight {
  std::uint64_t ticket;  // the publication queue's
  std::string topic;
};

}  // namespace

struct MqttClient::Impl {
  enum class State {
    Idle,           // no connection and none wanted
    LookingUp,      // an attempt waits for the broker's addresses
    Connecting,     // an attempt's socket is open: TCP handshake, then CONNACK
    Connected,      // CONNACK accepted
    Waiting,        // between two attempts (back-off)
    Disconnecting,  // disconnect() sent DISCONNECT and waits for the close
  };

  Impl(MqttClient& client, EventLoop& eventLoop, std::string id, bool cleanSession)
      : owner(client),
        loop(eventLoop),
        clientId(std::move(id)),
        miscTimer(loop.executor()),
        attemptTimer(loop.executor()),
        retryTimer(loop.executor()),
        connectDone(loop.executor()) {
    initLibrary();
    {
      const mqtt::SocketPairRefusal noWakeUpPair;
      mosq.reset(mosquitto_new(clientId.c_str(), cleanSession, this));
    }
    if (!mosq) {
      throw std::runtime_error(fmt::format("cannot create MQTT client '{}': {}", clientId,
                                           errorText(MOSQ_ERR_ERRNO, errno)));
    }
    mosquitto_int_option(mosq.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq.get(), &Impl::onConnectCb);
    mosquitto_disconnect_v5_callback_set(mosq.get(), &Impl::onDisconnectCb);
    mosquitto_message_v5_callback_set(mosq.get(), &Impl::onMessageCb);
    mosquitto_publish_v5_callback_set(mosq.get(), &Impl::onPublishCb);
  }

  ~Impl() {
    alive.reset();
    giveBackInFlight();
    abandonLookup();
    miscTimer.cancel();
    attemptTimer.cancel();
    retryTimer.cancel();
    commitRetryTimer.cancel();
    detach();
    // No callback into a half-destroyed object while libmosquitto tears down.
    mosquitto_connect_v5_callback_set(mosq.get(), nullptr);
    mosquitto_disconnect_v5_callback_set(mosq.get(), nullptr);
    mosquitto_message_v5_callback_set(mosq.get(), nullptr);
    mosquitto_publish_v5_callback_set(mosq.get(), nullptr);
    mosquitto_log_callback_set(mosq.get(), nullptr);
  }

  // --- socket watching -----------------------------------------------------

  // Watches libmosquitto's current socket on the loop.
  void attach() {
    detach();
    const int fd = mosquitto_socket(mosq.get());
    if (fd < 0) return;
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    const int family = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0
                           ? local.ss_family
                           : AF_INET;
    socket.emplace(loop.context(),
                   asio::generic::stream_protocol(family, family == AF_UNIX ? 0 : IPPROTO_TCP), fd);
    socketFd = fd;
    tcp = family != AF_UNIX;
    ++generation;
    armRead();
    armWrite();
  }

  // Stops watching. libmosquitto owns the descriptor (and has usually closed
  // it already), so it is released, never closed here.
  void detach() {
    if (!socket) return;
    ++generation;
    asio::error_code ec;
    socket->cancel(ec);
    socket->release();
    socket.reset();
    socketFd = -1;
    readArmed = false;
    writeArmed = false;
    quiet = false;
  }

  // Sets the number of bytes that wake the loop (kQuietBytes when `on`, else
  // one). Turned off, the kernel signals what already waits at once.
  void beQuiet(bool on) {
    if (quiet == on || !socket || !tcp || tls) return;
    const int mark = on ? kQuietBytes : 1;
    if (::setsockopt(socketFd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) == 0) quiet = on;
  }

  // Reads what waits below the wake-up mark (kQuietBytes).
  void readQuietBytes() {
    if (!quiet) return;
    receiveAndFeed();
    afterLibraryCall();
  }

  // Waits until the socket has bytes for libmosquitto to read. While
  // connected, the wait is a peek at one byte: the reactor keeps the socket
  // registered as it is and peeks once the socket signals bytes, where a
  // plain wait would re-arm it with a system call each time (asking for
  // writability too, once a write was ever waited for, which then wakes the
  // loop for nothing). Before CONNACK the plain wait stays, so that
  // libmosquitto itself finds the connection's error (a peek would take the
  // socket's pending error away from it); over TLS, OpenSSL does the reading.
  void armRead() {
    if (!socket || readArmed) return;
    readArmed = true;
    auto ready = [this, token = std::weak_ptr<bool>(alive), gen = generation](
                     const asio::error_code& ec, std::size_t = 0) {
      if (token.expired() || gen != generation) return;
      readArmed = false;
      if (ec == asio::error::operation_aborted) return;
      // Whatever else the wait says (end of file, a reset), libmosquitto's
      // read finds it out and closes the connection its usual way.
      if (peeking && !ec) {
        receiveAndFeed();
      } else {
        readAvailable();
      }
      afterLibraryCall();
    };
    peeking = state == State::Connected && !tls;
    if (peeking) {
      socket->async_receive(asio::buffer(peekByte), asio::socket_base::message_peek,
                            std::move(ready));
    } else {
      socket->async_wait(asio::socket_base::wait_read, std::move(ready));
    }
  }

  void armWrite() {
    if (!socket || writeArmed || !mosquitto_want_write(mosq.get())) return;
    writeArmed = true;
    socket->async_wait(
        asio::socket_base::wait_write,
        [this, token = std::weak_ptr<bool>(alive), gen = generation](const asio::error_code& ec) {
          if (token.expired() || gen != generation) return;
          writeArmed = false;
          if (ec) return;
          mosquitto_loop_write(mosq.get(), 1);
          afterLibraryCall();
        });
  }

  // Receives what the socket holds, a buffer at a time, and lets libmosquitto
  // read it from there: one system call where libmosquitto's own reads take
  // three or more per packet. A receive that does not fill the buffer took
  // everything; the next wait's peek finds what comes later.
  void receiveAndFeed() {
    for (int i = 0; i < kReadBatch; ++i) {
      const ssize_t n = ::recv(socketFd, inbound.data(), inbound.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      const int after = n > 0 ? EAGAIN : n == 0 ? mqtt::ReadFeed::kEndOfStream : errno;
      const ByteView got(inbound.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
      if (!feed(got, after) || got.size() < inbound.size()) return;
    }
  }

  // Lets libmosquitto read `bytes`, packet by packet, then find `after` (what
  // the socket answered next). False once the connection is gone.
  bool feed(ByteView bytes, int after) {
    const mqtt::ReadFeed source(socketFd, bytes, after);
    while (!source.finished()) {
      const std::size_t calls = source.calls();
      const int rc = mosquitto_loop_read(mosq.get(), 1);
      if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq.get()) != socketFd) return false;
      if (source.calls() == calls) {
        // The library stopped reading halfway through what the broker sent:
        // the rest of the stream cannot be trusted, so the connection ends.
        shutdownSocket();
        return false;
      }
    }
    return true;
  }

  // Reads the packets the socket holds, until it has no more (before the
  // CONNACK, and over TLS, where OpenSSL keeps what it has decrypted and a
  // peek at the socket cannot tell). libmosquitto reads one packet per call;
  // going back to the reactor for each would cost two system calls per
  // packet (the re-armed wait and its wake-up).
  void readAvailable() {
    for (int i = 0; i < kReadBatch; ++i) {
      const unsigned before = callbacksRun;
      errno = 0;
      const int rc = mosquitto_loop_read(mosq.get(), 1);
      if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq.get()) != socketFd) return;
      // EAGAIN with no callback run means the read found nothing more; after a
      // callback errno may come from the callback's own calls, so read again.
      if (callbacksRun == before && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    }
  }

  // After libmosquitto did I/O: notice a closed connection, else keep watching.
  void afterLibraryCall() {
    if (!socket) return;
    if (mosquitto_socket(mosq.get()) != socketFd) {
      connectionClosed();
      return;
    }
    if (std::exchange(pumpWanted, false)) {
      if (publications->commitDue()) publications->commit();
      pump();
      if (publications->retryWanted()) retryCommitSoon();
    }
    noticeHandshake();
    armRead();
    armWrite();
  }

  // Once the attempt's TCP handshake is done, the broker's CONNACK is awaited
  // with a deadline of its own.
  void noticeHandshake() {
    if (state != State::Connecting || tcpUp || !peerConnected(socketFd)) return;
    tcpUp = true;
    armAttemptTimer(kConnackTimeout, fmt::format("the broker did not answer CONNECT within {} s",
                                                 wholeSeconds(kConnackTimeout)));
  }

  void startMisc() {
    ++miscGeneration;
    nextMisc();
  }

  void nextMisc() {
    miscTimer.expires_after(kMiscInterval);
    miscTimer.async_wait([this, token = std::weak_ptr<bool>(alive),
                          gen = miscGeneration](const asio::error_code& ec) {
      if (token.expired() || ec || gen != miscGeneration || state == State::Idle) return;
      if (socket) {
        readQuietBytes();  // a PINGRESP, before libmosquitto counts it missing
        mosquitto_loop_misc(mosq.get());
        afterLibraryCall();
      }
      nextMisc();
    });
  }

  // --- connection attempts ---------------------------------------------------

  // Takes the broker's address and the session settings for the attempts to
  // come. libmosquitto keeps CONNECT properties (the session expiry) only
  // through mosquitto_connect_bind_v5, whose TCP connect blocks. Given port -1
  // it stores the properties and fails with MOSQ_ERR_INVAL before any
  // connect; the non-blocking connects that follow send them.
  void prepare(const std::string& brokerHost, int brokerPort, int keepaliveSeconds) {
    mosquitto_property* raw = nullptr;
    int rc = mosquitto_property_add_int32(&raw, MQTT_PROP_SESSION_EXPIRY_INTERVAL, sessionExpiry);
    std::unique_ptr<mosquitto_property, PropertiesDeleter> props(raw);
    if (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_connect_bind_v5(mosq.get(), "127.0.0.1", -1, keepaliveSeconds, nullptr,
                                     props.get());
    }
    if (rc != MOSQ_ERR_INVAL) {
      throw std::runtime_error(fmt::format("cannot set up the MQTT CONNECT for {}:{}: {}",
                                           brokerHost, brokerPort, errorText(rc)));
    }
    if (tls) tls->setServerName(brokerHost);
    host = brokerHost;
    port = brokerPort;
    keepalive = keepaliveSeconds;
    connectError.clear();
    connectDone.clear();
    stopping = false;
    backoff.reset();
  }

  // One attempt: look the host up (on a thread unless it is numeric), then a
  // non-blocking connect to each address in turn until one answers.
  void startAttempt() {
    state = State::LookingUp;
    addresses.clear();
    nextAddress = 0;
    try {
      lookup = HostLookup::start(loop.executor(), host,
                                 [this, token = std::weak_ptr<bool>(alive)](HostLookup::Result r) {
                                   if (!token.expired()) addressesFound(std::move(r));
                                 });
    } catch (const std::exception& e) {
      attemptFailed(fmt::format("cannot start the name look-up: {}", e.what()));
      return;
    }
    armAttemptTimer(kLookupTimeout, fmt::format("the name look-up of {} did not finish within {} s",
                                                host, wholeSeconds(kLookupTimeout)));
  }

  void abandonLookup() {
    if (lookup) lookup->abandon();
    lookup.reset();
  }

  void addressesFound(HostLookup::Result result) {
    lookup.reset();
    if (state != State::LookingUp) return;
    if (!result.error.empty()) {
      attemptFailed(fmt::format("cannot look up {}: {}", host, result.error));
      return;
    }
    addresses = std::move(result.addresses);
    connectNextAddress();
  }

  // Opens a non-blocking connection to the next address; an address that
  // fails at once is skipped.
  void connectNextAddress() {
    std::string why = "no address to connect to";
    while (nextAddress < addresses.size()) {
      const std::string& address = addresses[nextAddress++];
      watchTls();
      errno = 0;
      const int rc =
          mosquitto_connect_bind_async(mosq.get(), address.c_str(), port, keepalive, nullptr);
      const int err = errno;
      if (rc == MOSQ_ERR_SUCCESS) {
        state = State::Connecting;
        tcpUp = false;
        refusal.clear();
        lastDisconnectRc = MOSQ_ERR_CONN_LOST;
        lastDisconnectErrno = 0;
        attach();
        startMisc();
        armAttemptTimer(kTcpConnectTimeout,
                        fmt::format("no answer within {} s", wholeSeconds(kTcpConnectTimeout)));
        noticeHandshake();  // on loopback it may be done already
        return;
      }
      // Over TLS the handshake may have started, and failed, inside the call.
      why = errorText(rc, err);
      const std::string tlsWhy = tlsFailure(rc == MOSQ_ERR_TLS || err == EPROTO, why);
      if (!tlsWhy.empty()) why = tlsWhy;
    }
    attemptFailed(why);
  }

  // Over TLS, an attempt's errors are collected from libmosquitto's log, which
  // is the only place OpenSSL's reasons reach (the library empties OpenSSL's
  // error queue itself). The log callback stays off while connected, where it
  // would cost a formatted line per packet.
  void watchTls() {
    if (!tls) return;
    tls->startAttempt();
    mosquitto_log_callback_set(mosq.get(), &Impl::onLogCb);
  }

  static void onLogCb(mosquitto*, void* obj, int level, const char* line) {
    auto* self = static_cast<Impl*>(obj);
    if (level == MOSQ_LOG_ERR && self->tls) self->tls->libraryError(line);
  }

  // Ends the attempt with `why` if it is still in the same phase when the
  // timer runs out.
  void armAttemptTimer(Duration limit, std::string why) {
    attemptTimer.expires_after(limit);
    attemptTimer.async_wait([this, token = std::weak_ptr<bool>(alive), phase = ++attemptPhase,
                             limit, reason = std::move(why)](const asio::error_code& ec) {
      if (token.expired() || ec || phase != attemptPhase) return;
      if (state == State::LookingUp) {
        abandonLookup();
        attemptFailed(reason);
      } else if (state == State::Connecting) {
        timeoutReason =
            tcpUp && tls && !tls->handshakeDone()
                ? fmt::format("the TLS handshake did not finish within {} s", wholeSeconds(limit))
                : reason;
        // The next read sees the end of the connection, and libmosquitto
        // closes it through its usual path, which ends the attempt.
        shutdownSocket();
        mosquitto_loop_read(mosq.get(), 1);
        afterLibraryCall();
      }
    });
  }

  void stopAttemptTimer() {
    ++attemptPhase;
    attemptTimer.cancel();
  }

  // The attempt is over without a connection: a background connect waits its
  // back-off and tries again (one printed line per failure); connect() learns
  // of the failure.
  void attemptFailed(const std::string& why) {
    stopAttemptTimer();
    detach();
    if (keepTrying && !stopping) {
      const Duration delay = backoff.next();
      print("MQTT connect to {}:{} failed: {}; next attempt in {} s", host, port, why,
            wholeSeconds(delay));
      waitThenAttempt(delay);
      return;
    }
    state = State::Idle;
    connectError = fmt::format("MQTT connect to {}:{} failed: {}", host, port, why);
    connectDone.set();
  }

  void waitThenAttempt(Duration delay) {
    state = State::Waiting;
    retryTimer.expires_after(delay);
    retryTimer.async_wait([this, token = std::weak_ptr<bool>(alive)](const asio::error_code& ec) {
      if (token.expired() || ec || state != State::Waiting) return;
      startAttempt();
    });
  }

  // Why a connection closed before its CONNACK was accepted.
  std::string attemptCloseReason() {
    if (!refusal.empty()) return refusal;
    if (!timeoutReason.empty()) return timeoutReason;
    const std::string tlsWhy = tlsFailure(tcpUp || lastDisconnectErrno == EPROTO,
                                          errorText(lastDisconnectRc, lastDisconnectErrno));
    if (!tlsWhy.empty()) return tlsWhy;
    if (!tcpUp) return errorText(lastDisconnectRc, lastDisconnectErrno);
    return fmt::format("the connection closed before the broker accepted it: {}",
                       errorText(lastDisconnectRc, lastDisconnectErrno));
  }

  // Over TLS, why an attempt failed as far as TLS knows: what the context
  // recorded, else libmosquitto's account `how` when TLS was involved (the
  // TCP connection stood, or OpenSSL failed); empty when it was not.
  std::string tlsFailure(bool involved, const std::string& how) const {
    if (!tls) return "";
    const std::string failure = tls->failure();
    if (!failure.empty()) return "TLS handshake failed: " + failure;
    if (tls->handshakeDone()) {
      // A broker that refuses the client certificate, or wants one, says so
      // in an alert that may come after our side of the handshake is done,
      // and be lost when the write of CONNECT fails first.
      return fmt::format("the broker closed the TLS connection before accepting it ({}); {}", how,
                         tls->hasClientCertificate()
                             ? "does it accept the client certificate?"
                             : "does it want a client certificate (cert-file, key-file)?");
    }
    return involved ? "TLS handshake failed: " + how : "";
  }

  // --- connection life -----------------------------------------------------

  // libmosquitto closed the socket (lost, refused, timed out, or after DISCONNECT).
  void connectionClosed() {
    detach();
    switch (state) {
      case State::Connecting: {
        std::string why = attemptCloseReason();
        const bool handshakeFailed = !tcpUp && refusal.empty() && timeoutReason.empty();
        timeoutReason.clear();
        refusal.clear();
        // An address that does not take the connection leaves the others to try.
        if (handshakeFailed && nextAddress < addresses.size() && !stopping) {
          connectNextAddress();
          return;
        }
        attemptFailed(why);
        break;
      }
      case State::Connected: {
        const int rc = lastDisconnectRc;
        state = stopping ? State::Idle : State::Waiting;
        notifyDisconnect(
            rc, std::make_exception_ptr(std::runtime_error(fmt::format(
                    "connection to MQTT broker {}:{} lost: {}", host, port, errorText(rc)))));
        if (state == State::Waiting) {
          keepTrying = true;
          waitThenAttempt(backoff.next());
        }
        break;
      }
      default:
        state = State::Idle;
        break;
    }
  }

  // Makes the next read see end of file, so that libmosquitto closes the
  // connection through its usual path.
  void shutdownSocket() {
    if (socketFd >= 0) ::shutdown(socketFd, SHUT_RDWR);
  }

  // Ends whatever is going on at once, without waiting for the broker: a
  // look-up is abandoned, a socket closed, a pending attempt dropped.
  void closeNow() {
    retryTimer.cancel();
    stopAttemptTimer();
    abandonLookup();
    if (socket) {
      state = State::Disconnecting;
      mosquitto_disconnect_v5(mosq.get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
      if (mosquitto_socket(mosq.get()) == socketFd) {
        shutdownSocket();
        mosquitto_loop_read(mosq.get(), 1);
      }
      detach();
    }
    state = State::Idle;
    keepTrying = false;
    ++miscGeneration;
    miscTimer.cancel();
    if (!connectDone.isSet()) {
      // A connect() still waiting learns that the attempt is over.
      if (connectError.empty()) connectError = "MQTT connection closed by disconnect()";
      connectDone.set();
    }
  }

  void notifyDisconnect(int rc, std::exception_ptr exc) {
    if (!owner.on_disconnect) return;
    guarded("on_disconnect", [&] { owner.on_disconnect(owner, rc, exc); });
  }

  // The owner's callbacks run inside libmosquitto's C code, which an exception
  // must not cross: what they throw is printed and the client goes on.
  template <typename F>
  void guarded(const char* what, F&& f) {
    try {
      f();
    } catch (...) {
      print("Error in MQTT callback {}", what);
      printTrace(std::current_exception());
    }
  }

  // --- publications ----------------------------------------------------------

  std::size_t pending() const { return publications->size(); }

  // Hands what was sent and never acknowledged back to the queue, which hands
  // it out again ahead of the rest.
  void giveBackInFlight() {
    std::vector<std::uint64_t> tickets;
    for (const auto& [mid, entry] : inflight) tickets.push_back(entry.ticket);
    inflight.clear();
    publications->giveBack(tickets);
  }

  // The publications made in one pass of the loop are committed together
  // (one transaction of the outbox) once the pass is over, and only then
  // handed over; the lines the pass printed (the readings) leave after that,
  // so that a reading seen printed has been committed.
  void enqueue(Publication msg) {
    publications->add(std::move(msg));
    if (commitPosted) return;
    commitPosted = true;
    loop.atEndOfPass([this, token = std::weak_ptr<bool>(alive)] {
      if (token.expired()) return;
      commitPosted = false;
      readQuietBytes();  // acknowledgements first: they are committed with the pass
      commitAndPump();
    });
  }

  void commitAndPump() {
    publications->commit();
    pump();
    if (publications->retryWanted()) retryCommitSoon();
  }

  // The outbox was locked for a moment: what waits is committed and handed
  // over a little later.
  void retryCommitSoon() {
    if (commitRetryArmed) return;
    commitRetryArmed = true;
    commitRetryTimer.expires_after(kCommitRetryDelay);
    commitRetryTimer.async_wait(
        [this, token = std::weak_ptr<bool>(alive)](const asio::error_code& ec) {
          if (token.expired()) return;
          commitRetryArmed = false;
          if (!ec) commitAndPump();
        });
  }

  // Hands committed publications to libmosquitto, oldest first, while the
  // window has room. Not while disconnect() lets the window drain.
  void pump() {
    if (state != State::Connected || stopping) return;
    while (inflight.size() < kWindow) {
      const auto next = publications->next();
      if (!next) break;
      const Publication& msg = next->publication;
      int mid = 0;
      errno = 0;
      const int rc = mosquitto_publish_v5(mosq.get(), &mid, msg.topic.c_str(),
                                          static_cast<int>(msg.payload.size()), msg.payload.data(),
                                          msg.qos, msg.retain, nullptr);
      if (queuedByLibrary(rc)) {
        inflight.emplace(mid, InFlight{next->ticket, msg.topic});
      } else {
        print("MQTT publication on topic {} dropped: {}", msg.topic, errorText(rc, errno));
        publications->done(next->ticket);
      }
    }
    armWrite();
    // Quiet only while no publication waits for an acknowledgement before it
    // can go out: all are handed over, and libmosquitto sends what it holds
    // (the broker takes that many unacknowledged at a time).
    beQuiet(publications->handedCount() == publications->size() &&
            inflight.size() <= receiveMaximum);
  }

  // --- libmosquitto callbacks (loop thread, inside loop_read/write/misc) ----

  static void onConnectCb(mosquitto*, void* obj, int rc, int flags,
                          const mosquitto_property* props) {
    auto* self = static_cast<Impl*>(obj);
    ++self->callbacksRun;
    self->handleConnack(rc, flags, props);
  }

  void handleConnack(int rc, int flags, const mosquitto_property* props) {
    if (state != State::Connecting) return;
    if (rc != 0) {
      // libmosquitto closes the connection after returning; connectionClosed() reports it.
      // Mosquitto answers a wrong password with "not authorized" in MQTT 5.
      const bool credentialsHint = haveCredentials && rc == MQTT_RC_NOT_AUTHORIZED;
      refusal = fmt::format("the broker refused the connection: {}{}", connackText(rc),
                            credentialsHint ? "; check the user name and password" : "");
      return;
    }
    state = State::Connected;
    if (tls) mosquitto_log_callback_set(mosq.get(), nullptr);
    keepTrying = true;  // a connection lost later is re-established
    backoff.reset();
    stopAttemptTimer();
    refusal.clear();
    timeoutReason.clear();
    if (owner.on_connect) {
      const std::string text = mqtt::propertiesText(props);
      guarded("on_connect", [&] { owner.on_connect(owner, flags, rc, text); });
    }
    // libmosquitto resends its unacknowledged messages right after this
    // callback; the queued ones follow them, in order.
    asio::post(loop.executor(), [this, token = std::weak_ptr<bool>(alive)] {
      if (!token.expired()) pump();
    });
    std::uint16_t maximum = 0;
    receiveMaximum =
        mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &maximum, false) != nullptr
            ? maximum
            : std::numeric_limits<std::uint16_t>::max();
    connectDone.set();
  }

  static void onDisconnectCb(mosquitto*, void* obj, int rc, const mosquitto_property*) {
    auto* self = static_cast<Impl*>(obj);
    self->lastDisconnectErrno = errno;
    self->lastDisconnectRc = rc;
  }

  static void onMessageCb(mosquitto*, void* obj, const mosquitto_message* msg,
                          const mosquitto_property*) {
    auto* self = static_cast<Impl*>(obj);
    ++self->callbacksRun;
    if (!self->owner.on_message || !msg || !msg->topic) return;
    const auto* data = static_cast<const Byte*>(msg->payload);
    const Bytes payload(data, data + (msg->payloadlen > 0 ? msg->payloadlen : 0));
    const MessageProperties properties{msg->retain, msg->mid};
    const std::string topic(msg->topic);
    self->guarded("on_message", [&] {
      self->owner.on_message(self->owner, topic, payload, msg->qos, properties);
    });
  }

  static void onPublishCb(mosquitto*, void* obj, int mid, int reasonCode,
                          const mosquitto_property*) {
    auto* self = static_cast<Impl*>(obj);
    ++self->callbacksRun;
    auto it = self->inflight.find(mid);
    if (it == self->inflight.end()) return;  // QoS 0, or published at once
    // 16 ("no matching subscribers") is a success; 128 and up is a refusal.
    if (reasonCode >= 128) {
      print("MQTT broker refused the publication on topic {}: {}", it->second.topic,
            mosquitto_reason_string(reasonCode));
    }
    self->publications->done(it->second.ticket);
    self->inflight.erase(it);
    // The window has room again; the next publications are handed over once
    // libmosquitto has returned (afterLibraryCall), not from inside its
    // callback, where it holds its own locks.
    self->pumpWanted = true;
  }

  // A publication was acknowledged inside a libmosquitto call: pump after it.
  bool pumpWanted = false;
  MqttClient& owner;
  EventLoop& loop;
  std::string clientId;
  std::unique_ptr<mosquitto, MosquittoDeleter> mosq;
  std::uint32_t sessionExpiry = 0;
  bool haveCredentials = false;
  std::unique_ptr<TlsContext> tls;  // set: connections go over TLS

  std::string host;
  int port = 0;
  int keepalive = 60;
  State state = State::Idle;
  bool keepTrying = false;           // a failed attempt is followed by another after the back-off
  bool stopping = false;             // disconnect() runs: no further attempt
  std::array<Byte, 1> peekByte{};    // where the read wait peeks
  bool peeking = false;              // the read wait armed is a peek
  std::array<Byte, 4096> inbound{};  // what receiveAndFeed() received
  std::optional<asio::generic::stream_protocol::socket> socket;
  int socketFd = -1;
  unsigned generation = 0;         // changes with every attach/detach; older handlers stand down
  bool tcp = false;                // the socket is TCP (not a local socket)
  bool quiet = false;              // fewer than kQuietBytes do not wake the loop
  std::size_t receiveMaximum = 0;  // the broker's, from its CONNACK
  bool readArmed = false;
  bool writeArmed = false;
  unsigned callbacksRun = 0;  // grows with every libmosquitto callback (readAvailable)
  asio::steady_timer miscTimer;
  unsigned miscGeneration = 0;

  std::shared_ptr<HostLookup> lookup;  // the attempt's look-up while it runs
  std::vector<std::string> addresses;  // the attempt's addresses, tried in order
  std::size_t nextAddress = 0;
  bool tcpUp = false;               // the attempt's TCP handshake has completed
  asio::steady_timer attemptTimer;  // the deadline of the attempt's current phase
  unsigned attemptPhase = 0;        // changes with every phase; older deadlines stand down
  std::string timeoutReason;        // set when a deadline closed the attempt's socket
  asio::steady_timer retryTimer;
  Backoff backoff;
  int lastDisconnectRc = MOSQ_ERR_CONN_LOST;
  int lastDisconnectErrno = 0;

  Event connectDone;         // set when connect()'s attempt has ended either way
  std::string connectError;  // why it ended, if it failed
  std::string refusal;       // reason of the latest refused CONNACK

  std::shared_ptr<PublicationQueue> publications = std::make_shared<PublicationQueue>();
  std::unordered_map<int, InFlight> inflight;  // by message id: handed, not acknowledged
  bool commitPosted = false;                   // a commit waits for the end of the pass
  asio::steady_timer commitRetryTimer{loop.executor()};
  bool commitRetryArmed = false;

  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

MqttClient::MqttClient(EventLoop& loop, std::string clientId, bool cleanSession,
                       std::uint32_t sessionExpiryInterval)
    : impl_(std::make_unique<Impl>(*this, loop, std::move(clientId), cleanSession)) {
  impl_->sessionExpiry = sessionExpiryInterval;
}

MqttClient::MqttClient(NoLibrary) {}

MqttClient::~MqttClient() = default;

void MqttClient::set_auth_credentials(const std::string& username, const std::string& password) {
  if (!impl_) return;
  const int rc = mosquitto_username_pw_set(impl_->mosq.get(), username.c_str(), password.c_str());
  impl_->haveCredentials = true;
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error(
        fmt::format("cannot set MQTT user name '{}': {}", username, errorText(rc)));
  }
}

Awaitable<void> MqttClient::connect(const std::string& host, int port, int keepalive) {
  if (!impl_) throw std::logic_error("this MQTT client has no library behind it");
  Impl& s = *impl_;
  if (s.state != Impl::State::Idle) {
    throw std::logic_error(
        fmt::format("MQTT client '{}' is connected or connecting already", s.clientId));
  }
  co_await throwIfCancelled();
  s.prepare(host, port, keepalive);
  s.keepTrying = false;
  s.startAttempt();
  // Bounded by the attempt's own deadlines (look-up, handshake, CONNACK).
  std::exception_ptr cancelled;
  try {
    co_await s.connectDone.wait();
  } catch (...) {
    cancelled = std::current_exception();
  }
  if (cancelled) {
    s.closeNow();
    std::rethrow_exception(cancelled);
  }
  if (s.state != Impl::State::Connected) {
    s.closeNow();
    throw std::runtime_error(s.connectError.empty()
                                 ? fmt::format("MQTT connect to {}:{} failed", host, port)
                                 : s.connectError);
  }
}

void MqttClient::connectInBackground(const std::string& host, int port, int keepalive) {
  if (!impl_) return;
  Impl& s = *impl_;
  if (s.state != Impl::State::Idle) return;
  s.prepare(host, port, keepalive);
  s.keepTrying = true;
  s.startAttempt();
}

void MqttClient::setWill(const std::string& topic, std::string_view payload, int qos, bool retain) {
  if (!impl_) return;
  if (qos < 0 || qos > 2) {
    throw std::invalid_argument(
        fmt::format("MQTT will on topic {}: QoS {} is not 0, 1 or 2", topic, qos));
  }
  const int rc =
      mosquitto_will_set_v5(impl_->mosq.get(), topic.c_str(), static_cast<int>(payload.size()),
                            payload.data(), qos, retain, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::invalid_argument(
        fmt::format("cannot set the MQTT will on topic '{}': {}", topic, errorText(rc)));
  }
}

void MqttClient::setTls(std::shared_ptr<const TlsCredentials> credentials) {
  if (!impl_) return;
  Impl& s = *impl_;
  if (s.state != Impl::State::Idle) {
    throw std::logic_error(
        fmt::format("MQTT client '{}': TLS is set before connecting", s.clientId));
  }
  auto context = std::make_unique<TlsContext>(std::move(credentials));
  // libmosquitto takes a reference of its own and applies none of its
  // defaults: the context is complete as it stands.
  int rc = mosquitto_int_option(s.mosq.get(), MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_void_option(s.mosq.get(), MOSQ_OPT_SSL_CTX, context->native());
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error(
        fmt::format("MQTT client '{}': cannot use TLS: {}", s.clientId, errorText(rc)));
  }
  s.tls = std::move(context);
}

void MqttClient::unsubscribe(const std::vector<std::string>& filters) {
  if (!impl_) return;
  for (const std::string& filter : filters) {
    const int rc = mosquitto_unsubscribe_v5(impl_->mosq.get(), nullptr, filter.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error(
          fmt::format("cannot unsubscribe from MQTT topic filter '{}': {}", filter, errorText(rc)));
    }
  }
  impl_->armWrite();
}

void MqttClient::subscribe(const std::vector<std::pair<std::string, int>>& subscriptions) {
  if (!impl_) return;
  for (const auto& [filter, qos] : subscriptions) {
    const int rc =
        mosquitto_subscribe_v5(impl_->mosq.get(), nullptr, filter.c_str(), qos, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error(fmt::format(
          "cannot subscribe to MQTT topic filter '{}' (QoS {}): {}", filter, qos, errorText(rc)));
    }
  }
  impl_->armWrite();
}

namespace {

void checkPublication(const std::string& topic, ByteView payload, int qos) {
  if (qos < 0 || qos > 2) {
    throw std::invalid_argument(
        fmt::format("MQTT publication on topic {}: QoS {} is not 0, 1 or 2", topic, qos));
  }
  if (topic.empty() || topic.size() > std::numeric_limits<std::uint16_t>::max() ||
      mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) != MOSQ_ERR_SUCCESS ||
      mosquitto_pub_topic_check2(topic.c_str(), topic.size()) != MOSQ_ERR_SUCCESS) {
    throw std::invalid_argument(fmt::format(
        "MQTT publication on topic '{}': not a valid topic name (empty, too long, not UTF-8 "
        "or holding a wildcard)",
        topic));
  }
  if (payload.size() > kMaxPayload) {
    throw std::invalid_argument(fmt::format(
        "MQTT publication on topic {}: payload of {} bytes is too large", topic, payload.size()));
  }
}

}  // namespace

void MqttClient::publish(const std::string& topic, ByteView payload, int qos, bool retain) {
  if (!impl_) return;
  checkPublication(topic, payload, qos);
  Impl& s = *impl_;
  if (qos == 0) {
    // At most once: sent if connected, else dropped.
    if (s.state == Impl::State::Connected) {
      mosquitto_publish_v5(s.mosq.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), 0, retain, nullptr);
      s.armWrite();
    }
    return;
  }
  s.enqueue(Publication{topic, Bytes(payload.begin(), payload.end()), qos, retain, 0});
}

void MqttClient::publishAtOnce(const std::string& topic, std::string_view payload, int qos,
                               bool retain) {
  if (!impl_) return;
  const ByteView bytes(reinterpret_cast<const Byte*>(payload.data()), payload.size());
  checkPublication(topic, bytes, qos);
  Impl& s = *impl_;
  if (s.state != Impl::State::Connected) return;
  mosquitto_publish_v5(s.mosq.get(), nullptr, topic.c_str(), static_cast<int>(bytes.size()),
                       bytes.data(), qos, retain, nullptr);
  s.armWrite();
}

void MqttClient::publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
  publish(topic, ByteView(reinterpret_cast<const Byte*>(payload.data()), payload.size()), qos,
          retain);
}

void MqttClient::publish(const std::string& topic, long long payload, int qos, bool retain) {
  publish(topic, std::string_view(std::to_string(payload)), qos, retain);
}

Awaitable<void> MqttClient::disconnect(WillAtDisconnect will) {
  if (!impl_) co_return;
  Impl& s = *impl_;
  if (s.state == Impl::State::Idle) co_return;
  // Nothing made before the stop stays uncommitted; what fits in the window
  // is handed over and gets its chance to be acknowledged.
  s.publications->commit();
  s.pump();
  s.stopping = true;
  s.beQuiet(false);  // the drain below waits for every acknowledgement
  s.retryTimer.cancel();
  if (s.state != Impl::State::Connected) {
    // Looking up, connecting or between attempts: nothing to say goodbye to.
    s.closeNow();
    s.stopping = false;
    s.giveBackInFlight();
    co_return;
  }

  // Plain timer waits, not the runtime's cancellable ones: a shutdown that has
  // cancelled every task still gets its DISCONNECT out.
  asio::steady_timer timer(s.loop.executor());
  auto waitUntil = [&](auto done, Duration limit) -> Awaitable<void> {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      timer.expires_after(kPollInterval);
      asio::error_code ec;
      co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  };

  if (!s.inflight.empty()) {
    co_await waitUntil([&] { return s.state != Impl::State::Connected || s.inflight.empty(); },
                       kDrainTimeout);
  }
  // A connection lost before this point has had its on_disconnect already.
  bool notify = false;
  if (s.socket) {
    notify = s.state == Impl::State::Connected;
    s.state = Impl::State::Disconnecting;
    const bool sendWill = will == WillAtDisconnect::PublishIfUndelivered && s.pending() > 0;
    mosquitto_disconnect_v5(
        s.mosq.get(), sendWill ? MQTT_RC_DISCONNECT_WITH_WILL_MSG : MQTT_RC_NORMAL_DISCONNECTION,
        nullptr);
    s.afterLibraryCall();
    co_await waitUntil([&] { return !s.socket; }, kCloseTimeout);
  }
  s.closeNow();
  s.stopping = false;
  // What the broker did not acknowledge goes out again, first, through the
  // client of the next run.
  s.giveBackInFlight();
  s.publications->commit();  // the acknowledgements of the drain
  if (notify) s.notifyDisconnect(0, nullptr);
}

bool MqttClient::isConnected() const {
  return impl_ && impl_->state == Impl::State::Connected;
}

const std::string& MqttClient::clientId() const {
  static const std::string none;
  return impl_ ? impl_->clientId : none;
}

std::size_t MqttClient::pendingCount() const {
  return impl_ ? impl_->pending() : 0;
}

void MqttClient::setMaxOfflineMessages(std::size_t count) {
  if (impl_) impl_->publications->setMaxInMemory(count);
}

void MqttClient::setPublicationQueue(std::shared_ptr<PublicationQueue> queue) {
  if (!impl_) return;
  Impl& s = *impl_;
  s.giveBackInFlight();
  s.publications = std::move(queue);
  s.pump();
}

}  // namespace vantro
