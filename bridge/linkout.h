// Ableton Link as a sync output, on the engine thread: quillbox is the session's tempo and phase
// source while the live deck's beats arrive, and leaves the session alone when they stop.
//
// - At each beat the estimator takes (the beat clock's, bridge/beatclock.h, with its clocks
//   discarded), the session gets the estimated tempo and the grid's beat on one of its beats,
//   moved by the output offset as Link's latency compensation: a peer plays that beat when the
//   bridge's other outputs do.
// - Nothing is committed while no beats arrive: the session's tempo is its peers' to change.
// - Start and stop (when switched on) follow the beats: playing from the first beat with a
//   tempo, stopped when the estimator stops (two periods and an eighth after the last beat).
//
// Threads. Switching on makes a Link peer (link/linksession.h) whose threads start on their
// own; switching off asks it to leave and lets it go without waiting, and it is freed once its
// threads are joined. The engine commits with Link's realtime calls and never waits on Link's
// locks. News from Link's threads (ready, peers, done) comes through an event descriptor the
// engine's loop watches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bridge/beatclock.h"
#include "link/linksession.h"
#include "platform/eventloop.h"

namespace qb {

class LinkOutput : public EventLoop::Watcher {
 public:
  class Port {
   public:
    virtual ~Port() = default;
    virtual std::int64_t NowUs() = 0;  // steady clock, microseconds
    // The peers in the session besides quillbox changed; -1 when Link is off.
    virtual void Peers(int peers) = 0;
  };
  // Makes a peer that calls wake on news; tests give their own.
  using MakePeer =
      std::function<std::unique_ptr<LinkPeer>(std::function<void()> wake, bool start_stop)>;

  // Made on the engine thread, whose loop then serves it. Empty make: a real Link peer.
  explicit LinkOutput(Port& port, MakePeer make = {});
  // Waits for peers still leaving: at shutdown only.
  ~LinkOutput() override;
  LinkOutput(const LinkOutput&) = delete;
  LinkOutput& operator=(const LinkOutput&) = delete;

  void SetOn(bool on);
  bool On() const { return peer_ != nullptr; }
  void SetStartStop(bool on);
  void SetOffsetMs(int ms) { offset_us_ = std::int64_t{ms} * 1000; }

  // What the rules saw, with the moment its datagram arrived (steady clock, microseconds).
  void Beat(std::int64_t at_us);
  void DeckChanged(std::int64_t at_us);

  int Peers() const { return shown_peers_; }
  // Peers that left and whose threads are not yet joined.
  std::size_t Leaving() const { return leaving_.size(); }
  // News from Link's threads, taken now; the loop does it when the descriptor shows it.
  void Check();

 private:
  class Discard : public BeatClock::Sink {
   public:
    void Send(std::int64_t, std::uint8_t) override {}
  };

  void Ready(std::uint32_t events) override;
  void CommitGrid();
  void CommitStopped(std::int64_t at_us);
  void ArmStop();
  void ShowPeers();

  Port& port_;
  MakePeer make_;
  BeatClock grid_;
  Discard discard_;
  std::unique_ptr<LinkPeer> peer_;
  std::vector<std::unique_ptr<LinkPeer>> leaving_;
  bool start_stop_ = false;
  bool playing_ = false;    // as last committed (start/stop on)
  bool committed_ = false;  // the latest grid reached the session
  std::int64_t offset_us_ = 0;
  int shown_peers_ = -1;
  int wake_ = -1;   // written by Link's threads
  int timer_ = -1;  // the estimator's stop
  int wake_watch_ = -1;
  int timer_watch_ = -1;
};

}  // namespace qb
