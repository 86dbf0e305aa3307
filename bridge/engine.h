// The engine: one thread that owns the datagram path and every output. The UDP endpoint, the
// bridge's rules, the timers that gate beats and send the probe reply, and the MIDI port live
// and run on it, on the platform's own loop (platform/eventloop.h).
//
// The window only shows and commands, and the engine never waits for it:
// - what the captions show is published as a snapshot that the window reads when it likes;
// - log lines and notices (errors, a device chosen) go through bounded queues that the engine
//   writes without waiting; lines that do not fit are counted and dropped;
// - commands are posted, and the engine runs them in order between its other work;
// - the window is woken through Options::wake, which must never wait, at most once for each
//   kind of news until the window has taken it.
// Only start-up, shutdown and tests wait for the engine (Call), never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/recordring.h"
#include "bridge/seqlock.h"

namespace qb {

class EventLoop;
class LinkOutput;
class SyncOutputs;
class TMidiOutput;
class TTimer;
class TUdpSockUtil;

// The local time of day, to the millisecond.
TimeOfDay LocalTimeOfDay();

// What the window shows, as the engine last published it.
struct Snapshot {
  std::uint64_t version = 0;  // bumped with every change
  bool beat_lit = true;       // the beat indicator is shown (it is at start, until the first tick)
  char deck_caption[8] = {};  // "BeatL" or "BeatR" once a crossfader message came; empty before
  char position_caption[48] = {};       // the last position's caption; empty before the first
  std::uint64_t dropped_log_lines = 0;  // lines the window could not take, since start
  double tempo_bpm = 0;                 // the beat clock's estimate, to 0.1; 0 while stopped
  std::int32_t link_peers = -1;         // Link's peers besides quillbox; -1 while Link is off
};

// The state at a glance, for the tray's tooltip.
struct Status {
  bool listening = false;              // UDP port 10001 is bound
  std::uint32_t sender = 0;            // the last datagram's sender, network byte order
  std::int64_t last_datagram_us = 0;   // when it came, on the steady clock; 0 before the first
  char midi_name[80] = {};             // the selected device's whole name, cut with an ellipsis
  std::int32_t midi_connections = -1;  // -1 where its MIDI system does not tell
  bool midi_gone = true;               // no device to send to: closed, failed or gone away
  bool operator==(const Status&) const = default;
};

class Engine {
 public:
  // The specified components as they live on the engine thread; touched only inside Call.
  struct Components {
    TUdpSockUtil* UdpSockUtil1 = nullptr;  // UDP port 10001: datagrams in, probe replies out
    TMidiOutput* MidiOutput1 = nullptr;    // the MIDI port beats and time codes leave by
    TTimer* Timer1 = nullptr;     // 333 ms: hides the beat indicator, reopens the Traktor gate
    Bridge* Rules = nullptr;      // owns liveDeck and lastPhase
    SyncOutputs* Sync = nullptr;  // MTC stream, beat clock, offset
    LinkOutput* Link = nullptr;   // Ableton Link
  };

  struct Options {
    // The debug log's clock; called on the engine thread. Empty: the local time of day.
    std::function<TimeOfDay()> local_time;
    std::string decimal_point = ".";  // the user's, for logged singles (UTF-8)
    // Called on the engine thread when news waits for the window; must never wait.
    std::function<void()> wake;
  };

  // News that waits for the window (Pending).
  // kLink: Link's peers changed (also while the window is hidden: the tray shows them).
  enum News : unsigned { kCaptions = 1, kLog = 2, kNotices = 4, kLink = 8 };

  // What the engine tells the window besides captions and log lines.
  struct Notice {
    enum class Kind { Error, DeviceChosen } kind;
    std::string_view text;  // an error's text
    std::int32_t device;    // the device a change selected: what the window stores
  };

  // Starts the thread and makes the components on it.
  explicit Engine(Options options);
  // Quits the loop; the components go on the engine thread, which then ends.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Runs f(components) on the engine thread and waits for it; what f throws is thrown here.
  // For start-up, shutdown and tests.
  template <class F>
  auto Call(F&& f) -> std::invoke_result_t<F, Components&>;
  // Waits until everything posted before has run.
  void Sync() {
    Call([](Components&) {});
  }
  // The debug log's clock from now on (tests fix it); runs on the engine thread.
  void SetLocalTime(std::function<TimeOfDay()> clock);

  // Commands, run on the engine thread in the order posted. Any thread; none waits.
  void SetDebug(bool on);
  void SetBeatsOut(bool on);
  void SetTimeCodeOut(bool on);
  void SetChannel(std::int32_t value);
  void SetFilter(std::string lines);  // one prefix a line, Latin-1
  void Beat();
  void Time(std::int32_t position);
  // One datagram to the rules as if read from the socket.
  void Datagram(std::string bytes, std::uint32_t sender);
  // Closes the port, selects the device and opens it again. A DeviceChosen notice follows
  // once the device is selected; an error ends the change where it stands.
  void ChangeDevice(std::int32_t device);
  // The sync outputs: 0 or an MTC rate (24, 25, 2997, 30); the beat clock; the offset in ms.
  void SetMtcRate(std::int32_t rate);
  void SetMidiClock(bool on);
  void SetOffsetMs(std::int32_t ms);
  // Ableton Link on or off, and whether its start/stop follows the beats.
  void SetLink(bool on);
  void SetLinkStartStop(bool on);

  // The window's side; the user-interface thread.
  unsigned Pending() const { return pending_.load(std::memory_order_acquire); }
  // The captions as last published; clears kCaptions.
  Snapshot TakeSnapshot();
  // Link's peers as last published (Snapshot::link_peers); clears kLink.
  std::int32_t TakeLinkPeers();
  // The snapshot as last published, leaving the news as it is. Any thread.
  Snapshot ReadSnapshot() const { return snapshot_.Read(); }
  // The state at a glance; any thread, never holds up the engine. The port and the device are
  // looked at once a second and after each Call and device change; the last datagram's sender
  // and time are as it came.
  Status ReadStatus() const;
  // Appends the log lines queued since the last call, each ended by '\n'; lines that found
  // the queue full show as one line saying how many. Clears kLog.
  void TakeLogLines(std::string& out);
  // Hands over the notices queued since the last call, and how many errors were lost to a
  // full queue. Clears kNotices.
  void TakeNotices(const std::function<void(const Notice&)>& each, int& errors_lost);
  // Whether a change of caption is worth waking the window for (it is shown).
  void WantCaptions(bool on) { want_captions_.store(on, std::memory_order_relaxed); }

  // The line that stands for lines the window could not take.
  static std::string DroppedLine(std::uint64_t count);

 private:
  class Core;
  enum class Op : std::uintptr_t;
  friend class Core;

  void Main(Options options);
  void Post(Op op, std::uintptr_t arg = 0);
  void RunAndWait(const std::function<void(Components&)>& f);
  void Notify(News news);

  std::atomic<unsigned> pending_{0};
  std::atomic<bool> want_captions_{false};
  std::function<void()> wake_;
  SeqLock<Snapshot> snapshot_;
  SeqLock<Status> status_;  // without the last datagram's sender and time, which follow:
  std::atomic<std::uint32_t> last_sender_{0};
  std::atomic<std::int64_t> last_datagram_us_{0};
  RecordRing log_;
  RecordRing notices_;
  std::atomic<int> errors_lost_{0};

  std::uint64_t drops_shown_ = 0;  // the window's: lines counted in dropped-lines lines

  // Made on the engine thread, which leaves it at its end; freed once that thread has ended, so
  // that the window's last wake of it can never meet its descriptors closing.
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<Core> core_;
  std::atomic<int> started_{0};  // 1 once the components are made, 2 when that failed
  std::exception_ptr start_error_;
  std::thread thread_;
};

template <class F>
auto Engine::Call(F&& f) -> std::invoke_result_t<F, Components&> {
  using R = std::invoke_result_t<F, Components&>;
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    RunAndWait([&](Components& c) {
      try {
        f(c);
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    RunAndWait([&](Components& c) {
      try {
        result.emplace(f(c));
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace qb
