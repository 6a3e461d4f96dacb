#include "vantro/runtime/Event.hpp"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace vantro {

void Event::set() {
  if (set_) return;
  set_ = true;
  ++generation_;
  for (auto* t : waiters_) t->cancel();
}

Awaitable<void> Event::wait() {
  for (;;) {
    const bool woken = co_await waitFor(Duration::max());
    if (woken) co_return;
  }
}

Awaitable<bool> Event::waitFor(Duration timeout) {
  co_await throwIfCancelled();
  if (set_) co_return true;
  const unsigned generation = generation_;
  asio::steady_timer timer(ex_);
  if (timeout == Duration::max()) {
    timer.expires_at(asio::steady_timer::time_point::max());
  } else {
    timer.expires_after(timeout);
  }
  auto it = waiters_.insert(waiters_.end(), &timer);
  asio::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  waiters_.erase(it);
  const bool woken = set_ || generation_ != generation;
  if (!woken) co_await throwIfCancelled();
  co_return woken;
}

}  // namespace vantro
