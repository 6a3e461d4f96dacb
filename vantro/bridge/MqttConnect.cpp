#include "vantro/bridge/MqttConnect.hpp"

#include <algorithm>

#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/Bridge.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kFirstRetry = 1s;
constexpr auto kMaxRetry = 60s;

Awaitable<void> retryConnect(std::shared_ptr<MqttClient> client, std::string host, int port) {
  Duration delay = kFirstRetry;
  for (;;) {
    co_await sleep(delay);
    std::exception_ptr error;
    try {
      co_await client->connect(host, port, kMqttKeepAlive);
      co_return;
    } catch (const Cancelled&) {
      throw;
    } catch (...) {
      error = std::current_exception();
    }
    printTrace(error);
    delay = std::min<Duration>(delay * 2, kMaxRetry);
  }
}

}  // namespace

Awaitable<void> connectMqtt(std::shared_ptr<MqttClient> client, std::string host, int port) {
  std::exception_ptr error;
  try {
    co_await client->connect(host, port, kMqttKeepAlive);
  } catch (const Cancelled&) {
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) co_return;
  printTrace(error);
  if (auto* loop = EventLoop::running()) {
    loop->spawn(retryConnect(client, host, port), "mqtt-connect-retry");
  }
}

}  // namespace vantro
