// The outbox as the gateway finds it at start: the input is the file
// "outbox.sqlite", which the publication queue opens (or moves aside when it
// is damaged) and hands out, oldest first, as the MQTT client takes it. A
// publication added then must come out after everything found in the file.
#include <string>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/outbox/PublicationQueue.hpp"

namespace vantro::fuzz {
namespace {

// Publications handed out per input at most: a file of a few pages holds fewer.
constexpr int kMaxHanded = 20000;

const ScratchDir& scratch() {
  static const ScratchDir* d = new ScratchDir;
  return *d;
}

}  // namespace

int fuzzOutbox(const std::uint8_t* data, std::size_t size) {
  const ScratchDir& dir = scratch();
  dir.clear();
  OutboxSettings settings;
  settings.path = dir.path() / "outbox.sqlite";
  settings.maxBytes = 1024 * 1024;
  settings.retryInterval = std::chrono::milliseconds(0);
  writeFile(settings.path, ByteView(data, size));
  {
    PublicationQueue q;
    q.useOutbox(settings);
    const bool opened = q.outboxOpen();
    // The publication added now; its payload is empty for inputs of odd length.
    Publication probe;
    probe.topic = "fuzz/probe";
    if (size % 2 == 0) probe.payload = toBytes("last");
    q.add(probe);
    q.commit();
    // Whatever the file held, a file the queue opened takes new publications.
    check(!opened || q.outboxOpen(), "the outbox failed on a publication added after its open");
    check(q.size() >= 1, "the publication just added is not counted");
    int handed = 0;
    std::string lastTopic;
    for (; handed < kMaxHanded; ++handed) {
      const auto h = q.next();
      if (!h) {
        if (q.retryWanted()) {
          q.commit();
          continue;
        }
        break;
      }
      lastTopic = h->publication.topic;
      const std::uint64_t ticket = h->ticket;
      q.done(ticket);
      if (handed % 100 == 99) q.commit();
    }
    q.commit();
    // Order holds while the outbox works (when the disk fails, what waits in
    // memory goes first, as documented).
    if (handed < kMaxHanded && q.outboxOpen()) {
      check(lastTopic == "fuzz/probe", "the newest publication did not come out last");
      check(q.size() == 0, "publications left after everything was handed out");
    }
  }
  return 0;
}

}  // namespace vantro::fuzz
