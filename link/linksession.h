// One Ableton Link peer of quillbox's, and the thread that keeps it. Nothing outside this folder
// includes Link's headers: what the rest of the program needs is here in plain types.
//
// Threads. Making a LinkSession starts its keeper thread, which makes the Link instance (whose
// own threads start with it) and enables it; Leave asks the keeper to disable it and let it go,
// which joins Link's threads, and the keeper then ends. Neither waits: the thread that owns the
// session (the engine's) never waits on Link's locks. Only the destructor waits, for the keeper
// to end; call it once Done, or at shutdown.
//
// Commit is the session's single realtime caller's: one thread only (the one that made the
// session), never after Leave. It uses Link's audio-thread capture and commit, which take no
// lock the Link threads hold.
//
// Time. Times here are microseconds of CLOCK_MONOTONIC, std::chrono::steady_clock's clock on
// Linux. Link keeps CLOCK_MONOTONIC_RAW; Commit converts with the two clocks read together.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace qb {

// What one Commit changes in the session.
struct LinkCommit {
  // The timeline: the tempo, and beat_us (a beat of the grid) on a beat of the session.
  bool timeline = false;
  double bpm = 0;
  std::int64_t beat_us = 0;
  // The transport (start/stop sync): playing or stopped from playing_us on.
  bool transport = false;
  bool playing = false;
  std::int64_t playing_us = 0;
};

// The phase shared across the session is that of a bar of this many beats.
inline constexpr double kLinkQuantum = 4.0;

// The interface the engine's side uses, so that its rules can run against a double.
class LinkPeer {
 public:
  virtual ~LinkPeer() = default;
  // The Link instance exists and is enabled: Commit reaches the session.
  virtual bool Ready() const = 0;
  // Peers in the session besides this one. Any thread.
  virtual std::size_t Peers() const = 0;
  // Whether Link shares start and stop with the peers that also do.
  virtual void SetStartStopSync(bool on) = 0;
  // False when not Ready (nothing changed).
  virtual bool Commit(const LinkCommit& c) = 0;
  // Leave the session: asks, does not wait. No Commit after it.
  virtual void Leave() = 0;
  // The keeper has ended: Link's threads are joined and destroying this waits for nothing.
  virtual bool Done() const = 0;
};

class LinkSession : public LinkPeer {
 public:
  // wake: called on Link's or the keeper's thread when Ready, Peers or Done change; must never
  // wait. enable: false keeps the instance off the network (tests of the arithmetic).
  LinkSession(std::function<void()> wake, bool start_stop_sync, bool enable = true);
  ~LinkSession() override;
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  bool Ready() const override { return ready_.load(std::memory_order_acquire); }
  std::size_t Peers() const override { return peers_.load(std::memory_order_relaxed); }
  void SetStartStopSync(bool on) override;
  bool Commit(const LinkCommit& c) override;
  void Leave() override;
  bool Done() const override { return done_.load(std::memory_order_acquire); }

  // The session as the realtime caller sees it (the thread that commits): its tempo and the
  // beat at t_us on the quantum's phase-encoded count. For tests and the peer's view.
  double Tempo() const;
  double BeatAt(std::int64_t t_us) const;
  bool Playing() const;

  // CLOCK_MONOTONIC_RAW minus CLOCK_MONOTONIC now, in microseconds, from a read of one between
  // two of the other.
  static std::int64_t RawMinusMonotonicUs();

 private:
  class Instance;
  void Keep();

  std::function<void()> wake_;
  bool enable_;
  std::atomic<bool> start_stop_;
  std::atomic<unsigned> requests_{0};  // bumped for each request; the keeper waits on it
  std::atomic<bool> leave_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> done_{false};
  std::atomic<std::size_t> peers_{0};
  std::unique_ptr<Instance> link_;  // the keeper's; made and destroyed there
  std::thread keeper_;
};

}  // namespace qb
