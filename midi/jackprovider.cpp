// The JACK server through one client of our own, "quillbox", which lists the server's MIDI
// inputs and carries every output port we open.
//
// One client per process, on purpose: libjack keeps the synchronisation objects of all clients
// of a process in one table indexed by the server's client numbers. With a second client (we
// once had a separate one for listing), that client's late notice about a departed client whose
// number our port's client had just reused replaced our client's own object: its realtime
// thread then waited on a semaphore the server never signalled, and every cycle of the whole
// graph stalled.
//
// Sends never wait: bytes go into a ring that the process callback empties each cycle. Timed
// messages go into a second ring in whatever order they come; the process callback keeps them by
// their times, and each leaves in the cycle that holds its time, at its frame. When the
// server goes away (its shutdown notice), every device of that client is gone at once; the
// client is replaced when a server of the same name answers again, and ports opened then get
// back the connections they had.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "midi/backends.h"
#include "platform/steadyclock.h"

namespace qb::detail {
namespace {

constexpr const char* kClientName = "quillbox";
// How long a lost client's own threads get to end by themselves before it is closed anyway.
constexpr std::chrono::seconds kLostThreadsSettle{2};
constexpr std::size_t kSlots = 16;
// Room for thousands of time codes: a burst waits for the next cycles instead of being refused.
constexpr std::size_t kRingBytes = std::size_t{1} << 18;
using Length = std::uint32_t;
constexpr std::size_t kTimedRingBytes = std::size_t{1} << 16;
struct TimedHeader {
  std::int64_t due_us;  // steady clock
  Length length;
};
// A timed message taken off the ring by the process callback.
struct Staged {
  std::int64_t due_us;
  Length length;
  std::uint8_t bytes[kMaxTimedBytes];
};
// More than the lead ever holds: two cycles of every stream at its fastest.
constexpr std::size_t kStaged = 256;
// A timed message is wanted this far ahead of its cycle: the cycle under way, the next, and a
// margin for the sender's wake-up.
constexpr std::int64_t kLeadMarginUs = 3000;

void Quiet(const char*) {}

void PrepareJackEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A bridge must never start a server behind the user's back.
    setenv("JACK_NO_START_SERVER", "1", 0);
    // libjack reports a missing or vanished server on standard error; both are normal for us.
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

// One output port. The ring is written under the owning session's send lock and read by the
// process callback; it is made once and kept, so a late cycle never reads freed memory.
struct Slot {
  std::atomic<jack_port_t*> port{nullptr};
  std::atomic<jack_nframes_t> hold{0};  // frames to keep the ring while no connection is live
  std::atomic<int> connections{-1};     // as last counted, for when the client is busy
  jack_ringbuffer_t* ring = nullptr;
  jack_ringbuffer_t* timed = nullptr;  // TimedHeader and bytes, in the order they were sent
  // Taken off the timed ring, in the order of their times; the process callback's alone, and
  // emptied while the slot has no port.
  std::array<Staged, kStaged> staged;
  std::size_t staged_count = 0;
  bool used = false;        // guarded by JackSystem::mutex_
  unsigned generation = 0;  // of the client the port was made on; guarded by mutex_
  std::string short_;       // our port's own name; guarded by JackSystem::mutex_
  std::string device;       // guarded by JackSystem::peers_mutex_
};

class JackSystem : public std::enable_shared_from_this<JackSystem> {
 public:
  JackSystem() {
    PrepareJackEnvironment();
    for (Slot& s : slots_) {
      s.ring = jack_ringbuffer_create(kRingBytes);
      s.timed = jack_ringbuffer_create(kTimedRingBytes);
    }
  }
  ~JackSystem() {
    // A client lost just before: its threads get a moment to end by themselves first.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!LostThreadsSettled() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    gone_.store(true);
    if (jack_client_t* c = client_.load()) Close(c);
    for (Slot& s : slots_) {
      jack_ringbuffer_free(s.ring);
      jack_ringbuffer_free(s.timed);
    }
  }
  JackSystem(const JackSystem&) = delete;
  JackSystem& operator=(const JackSystem&) = delete;

  void Watch(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    changed_ = std::move(changed);
  }

  std::vector<DeviceEntry> Devices() {
    std::lock_guard lock(mutex_);
    std::vector<DeviceEntry> list;
    if (!Connect()) return list;
    auto self = shared_from_this();
    DeviceEntry own;
    own.name = kVirtualPortName;
    own.technology = MOD_SWSYNTH;
    own.own = true;
    own.open = [self](std::unique_ptr<OutputDevice>& device) {
      return self->OpenOutput(kVirtualPortName, "", device);
    };
    list.push_back(std::move(own));
    const char** ports =
        jack_get_ports(client_.load(), nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    for (const char** p = ports; p && *p; ++p) {
      DeviceEntry e;
      e.name = *p;
      e.open = [self, target = e.name](std::unique_ptr<OutputDevice>& device) {
        return self->OpenOutput(target, target, device);
      };
      list.push_back(std::move(e));
    }
    if (ports) jack_free(ports);
    return list;
  }

  bool Alive(unsigned generation) const {
    return generation == generation_.load() && !gone_.load();
  }

  MMRESULT Write(std::size_t slot, const std::uint8_t* bytes, std::size_t length) {
    jack_ringbuffer_t* ring = slots_[slot].ring;
    const Length n = static_cast<Length>(length);
    if (length > kRingBytes / 4) return MMSYSERR_INVALPARAM;
    if (jack_ringbuffer_write_space(ring) < sizeof n + length) return MIDIERR_NOTREADY;
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&n), sizeof n);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(bytes), length);
    return MMSYSERR_NOERROR;
  }

  MMRESULT WriteTimed(std::size_t slot, const std::uint8_t* bytes, std::size_t length,
                      std::int64_t due_us) {
    jack_ringbuffer_t* ring = slots_[slot].timed;
    const TimedHeader h{due_us, static_cast<Length>(length)};
    if (jack_ringbuffer_write_space(ring) < sizeof h + length) return MIDIERR_NOTREADY;
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&h), sizeof h);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(bytes), length);
    return MMSYSERR_NOERROR;
  }

  std::int64_t LeadUs() {
    jack_client_t* c = client_.load();
    if (!c || gone_.load()) return kLeadMarginUs;
    const jack_nframes_t rate = jack_get_sample_rate(c);
    if (rate == 0) return kLeadMarginUs;
    return 2 * std::int64_t{jack_get_buffer_size(c)} * 1000000 / rate + kLeadMarginUs;
  }

  // Our port's connections. The lock is held across server calls (a client being opened), and
  // whoever asks must not wait for those: then the count is the one taken last.
  int Connections(std::size_t slot, unsigned generation) {
    Slot& s = slots_[slot];
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) return s.connections.load();
    jack_port_t* port = s.port.load();
    const int n = port && Alive(generation) ? jack_port_connected(port) : -1;
    s.connections.store(n);
    return n;
  }

  MMRESULT OpenOutput(const std::string& device, const std::string& target,
                      std::unique_ptr<OutputDevice>& out);
  // Connects our ports to the remembered other ends that have appeared since.
  void Tend();
  void Release(std::size_t slot, unsigned generation);

 private:
  bool Connect();
  void Close(jack_client_t* client);
  int Link(Slot& s, jack_port_t* port, const std::string& other);
  static int Process(jack_nframes_t frames, void* arg);
  static void PlaceTimed(Slot& s, void* buffer, jack_nframes_t frames, std::int64_t to_jack,
                         jack_time_t cycle_start, jack_time_t cycle_end);
  static void Stage(Slot& s);
  static void Shutdown(jack_status_t, const char*, void* arg);
  static void PlainShutdown(void* arg) { Shutdown(JackFailure, nullptr, arg); }
  static void Connection(jack_port_id_t a, jack_port_id_t b, int connect, void* arg);
  static void Registration(jack_port_id_t, int registered, void* arg);
  static int GraphOrder(void* arg);

  std::mutex mutex_;  // the client's life, the slots' assignment; held across server calls
  std::atomic<jack_client_t*> client_{nullptr};
  std::atomic<bool> gone_{false};
  std::atomic<unsigned> generation_{0};
  std::atomic<bool> in_process_{false};
  // Our callbacks running on libjack's threads. Closing a client cancels those threads at any
  // instruction, which inside our code (a condition variable's notify) ends the process.
  std::atomic<int> in_callback_{0};
  struct InCallback {
    explicit InCallback(JackSystem* s) : system(s) {
      ++system->in_callback_;
      system->NoteThread();
    }
    ~InCallback() { --system->in_callback_; }
    JackSystem* system;
  };
  // libjack's threads that have run our notices for the current client. The one that tells a
  // lost server goes on to wind down and end by itself, allocating and freeing on the way;
  // closing the client cancels such a thread at any instruction, and one cancelled inside the
  // allocator leaves the allocator's lock taken: the next thread to allocate, and the close
  // that joins it, wait for ever. So a lost client is closed once those threads have ended, or
  // once they have had kLostThreadsSettle to. (The realtime thread, which only waits for the
  // next cycle that never comes, is safe to cancel.)
  std::array<std::atomic<pid_t>, 4> threads_{};
  std::atomic<std::chrono::steady_clock::rep> lost_at_{0};  // 0 while not lost
  void NoteThread();
  bool LostThreadsSettled() const;
  std::array<Slot, kSlots> slots_;
  std::function<void()> changed_;

  // The other ends of each device's port, kept from its open to its close and across a lost
  // server. Never held across a server call: the server's notices take it.
  std::mutex peers_mutex_;
  std::map<std::string, std::set<std::string>> peers_;
};

class JackDevice : public OutputDevice {
 public:
  JackDevice(std::shared_ptr<JackSystem> system, std::size_t slot, unsigned generation)
      : system_(std::move(system)), slot_(slot), generation_(generation) {}
  ~JackDevice() override { system_->Release(slot_, generation_); }
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    if (!Alive()) return MIDIERR_NODEVICE;
    return system_->Write(slot_, bytes, length);
  }
  bool Alive() const override { return system_->Alive(generation_); }
  bool Queues() const override { return true; }
  MMRESULT SendAt(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us) override {
    if (!Alive()) return MIDIERR_NODEVICE;
    return system_->WriteTimed(slot_, bytes, length, due_us);
  }
  std::int64_t LeadUs() const override { return system_->LeadUs(); }
  int Connections() override { return system_->Connections(slot_, generation_); }

 private:
  std::shared_ptr<JackSystem> system_;
  const std::size_t slot_;
  const unsigned generation_;
};

bool JackSystem::Connect() {
  if (jack_client_t* old = client_.load(); old && gone_.load()) {
    // The server went away with our ports and their connections; the dead client only needs
    // closing, which asks nothing of a server, once its threads have settled (the next call
    // tries again).
    if (!LostThreadsSettled()) return false;
    for (Slot& s : slots_) s.port.store(nullptr);
    client_.store(nullptr);
    Close(old);
    for (auto& t : threads_) t.store(0);
    lost_at_.store(0);
  }
  if (client_.load()) return true;
  jack_status_t status;
  jack_client_t* c = jack_client_open(kClientName, JackNoStartServer, &status);
  if (!c) return false;
  ++generation_;  // before gone_ clears, so devices of the old client never look alive again
  gone_.store(false);
  client_.store(c);
  jack_set_process_callback(c, &JackSystem::Process, this);
  // JACK's libjack tells the loss through one of the two notices, PipeWire's only through the
  // plain one; a second notice of the same loss changes nothing.
  jack_on_info_shutdown(c, &JackSystem::Shutdown, this);
  jack_on_shutdown(c, &JackSystem::PlainShutdown, this);
  jack_set_port_connect_callback(c, &JackSystem::Connection, this);
  jack_set_port_registration_callback(c, &JackSystem::Registration, this);
  // A client takes connections only once active, which only the new graph order tells.
  jack_set_graph_order_callback(c, &JackSystem::GraphOrder, this);
  if (jack_activate(c) != 0) {
    client_.store(nullptr);
    jack_client_close(c);
    return false;
  }
  return true;
}

void JackSystem::NoteThread() {
  // Each of libjack's threads serves one client, and is noted once.
  thread_local bool noted = false;
  if (noted) return;
  noted = true;
  const auto tid = static_cast<pid_t>(::syscall(SYS_gettid));
  for (auto& t : threads_) {
    pid_t empty = 0;
    if (t.compare_exchange_strong(empty, tid)) return;
  }
}

bool JackSystem::LostThreadsSettled() const {
  const auto lost = lost_at_.load();
  if (lost == 0) return true;  // not lost through a notice: nothing of libjack's is winding down
  const auto since = std::chrono::steady_clock::now().time_since_epoch() -
                     std::chrono::steady_clock::duration(lost);
  if (since >= kLostThreadsSettle) return true;
  for (const auto& t : threads_) {
    const pid_t tid = t.load();
    if (tid != 0 && ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0) return false;  // still runs
  }
  return true;
}

// Only once gone_ is set: callbacks that start from then on do nothing, and those under way
// are let finish before libjack cancels their threads.
void JackSystem::Close(jack_client_t* client) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while ((in_callback_.load() > 0 || in_process_.load()) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  jack_client_close(client);
}

MMRESULT JackSystem::OpenOutput(const std::string& device, const std::string& target,
                                std::unique_ptr<OutputDevice>& out) {
  std::lock_guard lock(mutex_);
  if (!Connect()) return MIDIERR_NODEVICE;
  jack_client_t* c = client_.load();
  if (!target.empty() && !jack_port_by_name(c, target.c_str())) return MIDIERR_NODEVICE;

  std::size_t slot = kSlots;
  std::set<std::string> names;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (!slots_[i].used) {
      if (slot == kSlots) slot = i;
    } else if (slots_[i].generation == generation_.load()) {
      names.insert(slots_[i].short_);  // a port of a lost server leaves its name free
    }
  }
  if (slot == kSlots) return MMSYSERR_ALLOCATED;
  // Our first port is "quillbox"; ports opened beside it are numbered.
  std::string short_name = kVirtualPortName;
  for (int n = 2; names.count(short_name); ++n)
    short_name = std::string(kVirtualPortName) + "-" + std::to_string(n);
  jack_port_t* port =
      jack_port_register(c, short_name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (!port) return MMSYSERR_ERROR;

  Slot& s = slots_[slot];
  s.used = true;
  s.connections.store(-1);
  s.generation = generation_.load();
  s.short_ = short_name;
  jack_ringbuffer_reset(s.ring);
  jack_ringbuffer_reset(s.timed);
  s.staged_count = 0;
  {
    std::lock_guard peers_lock(peers_mutex_);
    s.device = device;
  }
  s.port.store(port);
  // The chosen port's connection is the device; other ends remembered from before a lost
  // server are Tend's, once the session has the device again.
  if (!target.empty()) {
    const int r = Link(s, port, target);
    if (r != 0 && r != EEXIST) {
      // The chosen port takes no connection (its client is not active yet): not a device.
      s.port.store(nullptr);
      jack_port_unregister(c, port);
      {
        std::lock_guard peers_lock(peers_mutex_);
        s.device.clear();
      }
      s.used = false;
      s.short_.clear();
      return MIDIERR_NODEVICE;
    }
  }
  // Known from here on, for a count asked while the client is busy with another call.
  s.connections.store(target.empty() ? 0 : 1);
  out = std::make_unique<JackDevice>(shared_from_this(), slot, generation_.load());
  return MMSYSERR_NOERROR;
}

void JackSystem::Release(std::size_t slot, unsigned generation) {
  std::lock_guard lock(mutex_);
  Slot& s = slots_[slot];
  jack_port_t* port = s.port.exchange(nullptr);
  if (port && Alive(generation)) {
    // The process callback may still hold the port from before the exchange.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (in_process_.load() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    jack_port_unregister(client_.load(), port);
    std::lock_guard peers_lock(peers_mutex_);
    peers_.erase(s.device);
  }
  // A device of a lost server leaves its connections behind for the device opened after it.
  {
    std::lock_guard peers_lock(peers_mutex_);
    s.device.clear();
  }
  s.used = false;
  s.short_.clear();
}

// A new connection carries data only from the cycle the server switches to the new graph on:
// until the process callback sees the port connected, what is sent stays in the ring.
int JackSystem::Link(Slot& s, jack_port_t* port, const std::string& other) {
  jack_client_t* c = client_.load();
  s.hold.store(2 * jack_get_sample_rate(c));
  const int r = jack_connect(c, jack_port_name(port), other.c_str());
  if (r != 0) s.hold.store(0);
  return r;
}

int JackSystem::Process(jack_nframes_t frames, void* arg) {
  // libjack's thread takes the name of the thread that opened the client (the engine's); it
  // gets one of its own, so that a thread listing tells them apart.
  thread_local bool named = false;
  if (!std::exchange(named, true)) pthread_setname_np(pthread_self(), "quillbox-jack");
  auto* self = static_cast<JackSystem*>(arg);
  self->in_process_.store(true);
  // The cycle's span on JACK's clock, and that clock against the steady one timed messages use.
  jack_nframes_t cycle_frame = 0;
  jack_time_t cycle_start = 0, cycle_end = 0;
  float period = 0;
  bool timing = false;
  std::int64_t to_jack = 0;
  if (jack_client_t* c = self->client_.load()) {
    timing = jack_get_cycle_times(c, &cycle_frame, &cycle_start, &cycle_end, &period) == 0 &&
             cycle_end > cycle_start;
    if (!timing && jack_get_sample_rate(c) > 0) {
      // A server without cycle times: the cycle taken to start now.
      cycle_start = jack_get_time();
      cycle_end = cycle_start + jack_time_t{frames} * 1000000 / jack_get_sample_rate(c);
      timing = true;
    }
    to_jack = static_cast<std::int64_t>(jack_get_time()) - SteadyNowUs();
  }
  for (Slot& s : self->slots_) {
    jack_port_t* port = s.port.load();
    if (!port) continue;
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    if (const jack_nframes_t hold = s.hold.load(); hold > 0) {
      if (jack_port_connected(port) > 0) {
        s.hold.store(0);
      } else {
        s.hold.store(hold > frames ? hold - frames : 0);
        continue;
      }
    }
    for (;;) {
      Length n = 0;
      if (jack_ringbuffer_peek(s.ring, reinterpret_cast<char*>(&n), sizeof n) < sizeof n) break;
      if (jack_ringbuffer_read_space(s.ring) < sizeof n + n) break;  // still being written
      jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, n);
      if (!data) {
        // A full buffer takes the rest next cycle; a message no empty buffer holds is dropped.
        if (jack_midi_get_event_count(buffer) > 0) break;
        jack_ringbuffer_read_advance(s.ring, sizeof n + n);
        continue;
      }
      jack_ringbuffer_read_advance(s.ring, sizeof n);
      jack_ringbuffer_read(s.ring, reinterpret_cast<char*>(data), n);
    }
    if (timing) PlaceTimed(s, buffer, frames, to_jack, cycle_start, cycle_end);
  }
  self->in_process_.store(false);
  return 0;
}

// Each timed message whose time falls before the cycle's end goes at the frame of its time; one
// already late goes at the cycle's start. Events in a buffer must not go back in time, so a
// message never goes before the one placed ahead of it.
void JackSystem::PlaceTimed(Slot& s, void* buffer, jack_nframes_t frames, std::int64_t to_jack,
                            jack_time_t cycle_start, jack_time_t cycle_end) {
  Stage(s);
  const auto start = static_cast<std::int64_t>(cycle_start);
  const auto span = static_cast<std::int64_t>(cycle_end - cycle_start);
  jack_nframes_t last = 0;
  const std::uint32_t events = jack_midi_get_event_count(buffer);
  if (events > 0) {
    jack_midi_event_t e;
    if (jack_midi_event_get(&e, buffer, events - 1) == 0) last = e.time;
  }
  std::size_t done = 0;
  for (; done < s.staged_count; ++done) {
    const Staged& m = s.staged[done];
    const std::int64_t at = m.due_us + to_jack - start;
    if (at >= span) break;  // a later cycle's
    jack_nframes_t frame = at <= 0 ? 0 : static_cast<jack_nframes_t>(at * frames / span);
    frame = std::min(std::max(frame, last), frames - 1);
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, frame, m.length);
    if (!data && jack_midi_get_event_count(buffer) > 0) break;  // full: the rest next cycle
    if (!data) continue;                                        // no empty buffer holds it: dropped
    std::memcpy(data, m.bytes, m.length);
    last = frame;
  }
  std::copy(s.staged.begin() + static_cast<std::ptrdiff_t>(done),
            s.staged.begin() + static_cast<std::ptrdiff_t>(s.staged_count), s.staged.begin());
  s.staged_count -= done;
}

// What the ring holds, into the staging by due time. Each stream hands its messages over in
// order, but one starting or re-locking comes behind another's already handed ahead: a ring
// read in its own order would hold it until those left.
void JackSystem::Stage(Slot& s) {
  while (s.staged_count < kStaged) {
    TimedHeader h;
    if (jack_ringbuffer_peek(s.timed, reinterpret_cast<char*>(&h), sizeof h) < sizeof h) return;
    if (jack_ringbuffer_read_space(s.timed) < sizeof h + h.length) return;  // being written
    jack_ringbuffer_read_advance(s.timed, sizeof h);
    if (h.length > kMaxTimedBytes) {  // never written so: the sessions refuse it
      jack_ringbuffer_read_advance(s.timed, h.length);
      continue;
    }
    std::size_t at = s.staged_count;
    for (; at > 0 && s.staged[at - 1].due_us > h.due_us; --at) s.staged[at] = s.staged[at - 1];
    Staged& m = s.staged[at];
    m.due_us = h.due_us;
    m.length = h.length;
    jack_ringbuffer_read(s.timed, reinterpret_cast<char*>(m.bytes), h.length);
    ++s.staged_count;
  }
}

void JackSystem::Shutdown(jack_status_t, const char*, void* arg) {
  auto* self = static_cast<JackSystem*>(arg);
  InCallback entered(self);
  // The time first, so that nobody sees the client gone before it is known to be settling.
  std::chrono::steady_clock::rep never = 0;
  self->lost_at_.compare_exchange_strong(
      never, std::chrono::steady_clock::now().time_since_epoch().count());
  if (self->gone_.exchange(true)) return;
  if (self->changed_) self->changed_();
}

void JackSystem::Connection(jack_port_id_t a, jack_port_id_t b, int connect, void* arg) {
  auto* self = static_cast<JackSystem*>(arg);
  InCallback entered(self);
  jack_client_t* c = self->client_.load();
  if (!c || self->gone_.load()) return;  // a stopping server's disconnects are not the user's
  jack_port_t* pa = jack_port_by_id(c, a);
  jack_port_t* pb = jack_port_by_id(c, b);
  if (!pa || !pb) return;
  std::lock_guard lock(self->peers_mutex_);
  for (Slot& s : self->slots_) {
    jack_port_t* mine = s.port.load();
    if (!mine || (mine != pa && mine != pb) || s.device.empty()) continue;
    const std::string other = jack_port_name(mine == pa ? pb : pa);
    if (connect)
      self->peers_[s.device].insert(other);
    else
      self->peers_[s.device].erase(other);
  }
}

void JackSystem::Registration(jack_port_id_t, int registered, void* arg) {
  auto* self = static_cast<JackSystem*>(arg);
  InCallback entered(self);
  if (registered && !self->gone_.load() && self->changed_) self->changed_();
}

int JackSystem::GraphOrder(void* arg) {
  Registration(0, 1, arg);
  return 0;
}

void JackSystem::Tend() {
  std::lock_guard lock(mutex_);
  jack_client_t* c = client_.load();
  if (!c || gone_.load()) return;
  for (Slot& s : slots_) {
    jack_port_t* mine = s.port.load();
    if (!mine) continue;
    std::set<std::string> peers;
    {
      std::lock_guard peers_lock(peers_mutex_);
      peers = peers_[s.device];
    }
    for (const std::string& p : peers) {
      if (jack_port_by_name(c, p.c_str()) && !jack_port_connected_to(mine, p.c_str()))
        Link(s, mine, p);
    }
  }
}

class JackProvider : public DeviceProvider {
 public:
  std::vector<DeviceEntry> Devices() override { return system_->Devices(); }
  void Watch(std::function<void()> changed) override { system_->Watch(std::move(changed)); }
  void Tend() override { system_->Tend(); }

 private:
  std::shared_ptr<JackSystem> system_ = std::make_shared<JackSystem>();
};

}  // namespace

std::unique_ptr<DeviceProvider> CreateJackProvider() {
  return std::make_unique<JackProvider>();
}

}  // namespace qb::detail
