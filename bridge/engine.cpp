#include "bridge/engine.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "bridge/linkout.h"
#include "bridge/syncout.h"
#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "platform/component.h"
#include "platform/errors.h"
#include "platform/eventloop.h"
#include "platform/steadyclock.h"
#include "platform/timer.h"

namespace qb {

namespace {

constexpr std::size_t kLogBytes = std::size_t{2} << 20;  // seconds of a night's traffic
constexpr std::size_t kNoticeBytes = 64 << 10;
constexpr std::uint8_t kLine = 1;
constexpr std::uint8_t kDropped = 2;  // eight bytes: how many lines were dropped here
constexpr std::uint8_t kError = 1;
constexpr std::uint8_t kDeviceChosen = 2;  // four bytes: the device number

template <std::size_t N>
void CopyCaption(char (&to)[N], std::string_view from) {
  const std::size_t n = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

// A UTF-8 name that does not fit is cut between characters and ends with an ellipsis.
template <std::size_t N>
void CopyName(char (&to)[N], std::string_view from) {
  constexpr std::string_view kEllipsis = "\u2026";
  static_assert(N > kEllipsis.size() + 1);
  if (from.size() < N) {
    CopyCaption(to, from);
    return;
  }
  std::size_t n = N - 1 - kEllipsis.size();
  while (n > 0 && (static_cast<unsigned char>(from[n]) & 0xC0) == 0x80) --n;
  std::memcpy(to, from.data(), n);
  std::memcpy(to + n, kEllipsis.data(), kEllipsis.size());
  to[n + kEllipsis.size()] = '\0';
}

}  // namespace

// The local time of day, asking the time zone once a minute: a night's log stamps every line,
// and the system's conversion takes a process-wide lock.
TimeOfDay LocalTimeOfDay() {
  thread_local time_t minute_start = -1;
  thread_local int hour = 0, minute = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (minute_start < 0 || now.tv_sec < minute_start || now.tv_sec - minute_start >= 60) {
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const int second = std::min(local.tm_sec, 59);
    minute_start = now.tv_sec - second;
    hour = local.tm_hour;
    minute = local.tm_min;
  }
  return {hour, minute, static_cast<int>(now.tv_sec - minute_start),
          static_cast<int>(now.tv_nsec / 1000000)};
}

enum class Engine::Op : std::uintptr_t {
  Debug,
  BeatsOut,
  TimeCodeOut,
  Channel,
  Filter,
  Beat,
  Time,
  Datagram,
  ChangeDevice,
  MtcRate,
  MidiClock,
  OffsetMs,
  Link,
  LinkStartStop,
  FlushDrops,
  Call,
};

// What a Call hands the engine. Shared, so that neither side frees it under the other.
struct CallRequest {
  const std::function<void(Engine::Components&)>* f = nullptr;
  std::atomic<int> state{0};  // 1 done, 2 dropped by a loop that quit
};

struct PostedDatagram {
  std::string bytes;
  std::uint32_t sender;
};

// Everything that lives on the engine thread.
class Engine::Core : public Bridge::Output {
 public:
  Core(Engine& engine, Options& options);
  ~Core() override;

  Components parts;

  void Run(Op op, std::uintptr_t arg);
  void FlushDrops();
  // Looks at the port and the device, and publishes what changed.
  void Glance();

 private:
  // Handlers of the specified components.
  void UdpSockUtil1Receive(TObject* Sender);
  void Timer1Timer(TObject* Sender);

  // What the rules do.
  void Reply(std::uint32_t sender, std::string_view bytes) override;
  void ArmReplyTimer(int ms) override;
  std::int64_t NowUs() override;
  void DeckCaption(std::string_view caption) override;
  void BeatIndicator(bool on) override;
  void PositionCaption(std::string_view caption) override;
  std::int32_t Channel() override { return channel_; }
  void ShortMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) override;
  void LongMessage(const std::uint8_t* bytes, std::uint16_t length) override;
  TimeOfDay LocalTime() override { return local_time_ ? local_time_() : LocalTimeOfDay(); }
  void LogLine(std::string_view line) override;
  void DeckBeat() override;
  void LiveDeckChanged() override;
  void StreamPosition(std::int32_t position) override;

  // Where the sync outputs send: the MIDI port, at the messages' times.
  class SyncPort : public SyncOutputs::Port {
   public:
    explicit SyncPort(Core& core) : core_(core) {}
    void Send(const std::uint8_t* bytes, std::uint16_t length, std::int64_t due_us) override {
      core_.MidiOutput1->SendTimed(bytes, length, due_us);
    }
    std::int64_t LeadUs() override { return core_.MidiOutput1->LeadUs(); }
    std::int64_t NowUs() override { return core_.NowUs(); }
    void Tempo(double bpm) override {
      core_.shown_.tempo_bpm = bpm;
      core_.Publish();
    }

   private:
    Core& core_;
  };

  class LinkPort : public LinkOutput::Port {
   public:
    explicit LinkPort(Core& core) : core_(core) {}
    std::int64_t NowUs() override { return core_.NowUs(); }
    void Peers(int peers) override {
      core_.shown_.link_peers = peers;
      core_.Publish();
      core_.e_.Notify(kLink);
    }

   private:
    Core& core_;
  };

  void Publish(bool news = true);

  Engine& e_;
  std::function<TimeOfDay()> local_time_;
  Bridge Rules{*this};
  ByteString datagram_;          // the last datagram read; its room is kept for the next
  std::int64_t arrival_us_ = 0;  // when it was read: the time of what the rules see in it
  ByteString reply_;
  std::int32_t channel_ = 1;
  Snapshot shown_;
  std::uint64_t drops_pending_ = 0;  // lines dropped since the last marker that fitted
  // Owns the components, and goes first: none of them calls into the rules once it is gone.
  TComponent root_{nullptr};
  TUdpSockUtil* UdpSockUtil1 = nullptr;
  TMidiOutput* MidiOutput1 = nullptr;
  TTimer* Timer1 = nullptr;
  TTimer* ReplyTimer = nullptr;   // one-shot: the discovery replies that are due
  TTimer* GlanceTimer = nullptr;  // once a second: the device's connections, its going away
  Status glanced_;
  SyncPort sync_port_{*this};
  std::unique_ptr<SyncOutputs> Sync;  // goes before the port it sends to
  LinkPort link_port_{*this};
  std::unique_ptr<LinkOutput> Link;

 public:
  void SetLocalTime(std::function<TimeOfDay()> clock) { local_time_ = std::move(clock); }
};

Engine::Core::Core(Engine& engine, Options& options)
    : e_(engine), local_time_(std::move(options.local_time)) {
  root_.Name = "Engine";
  Rules.SetDecimalPoint(options.decimal_point);
  datagram_.reserve(2048);
  reply_.reserve(Bridge::kReply.size());

  UdpSockUtil1 = new TUdpSockUtil(&root_);
  UdpSockUtil1->Name = "UdpSockUtil1";
  MidiOutput1 = new TMidiOutput(&root_);
  MidiOutput1->Name = "MidiOutput1";
  Timer1 = new TTimer(&root_);
  Timer1->Name = "Timer1";
  ReplyTimer = new TTimer(&root_);
  ReplyTimer->Name = "ReplyTimer";

  // The components' stored values, applied in order, then the after-loading step.
  StoredLayout layout;
  layout.Add(
      UdpSockUtil1,
      {
          [this] { UdpSockUtil1->SetLocalPort(10001); },
          [this] { UdpSockUtil1->SetRemotePort(0); },
          [this] { UdpSockUtil1->OnReceive = [this](TObject* s) { UdpSockUtil1Receive(s); }; },
      });
  layout.Add(MidiOutput1, {});
  layout.Add(Timer1, {
                         [this] { Timer1->SetEnabled(false); },
                         [this] { Timer1->SetInterval(333); },
                         [this] { Timer1->SetOnTimer([this](TObject* s) { Timer1Timer(s); }); },
                     });
  layout.Add(ReplyTimer, {
                             [this] { ReplyTimer->SetEnabled(false); },
                             [this] {
                               ReplyTimer->SetOnTimer([this](TObject*) {
                                 ReplyTimer->SetEnabled(false);  // the rules arm it again
                                 Rules.ReplyTimer();
                               });
                             },
                         });
  layout.Load();
  // Connections are asked of the MIDI system, so not per message: once a second is a glance.
  GlanceTimer = new TTimer(&root_);
  GlanceTimer->Name = "GlanceTimer";
  GlanceTimer->SetInterval(1000);
  GlanceTimer->SetOnTimer([this](TObject*) { Glance(); });
  GlanceTimer->SetEnabled(true);
  Sync = std::make_unique<SyncOutputs>(sync_port_);
  Link = std::make_unique<LinkOutput>(link_port_);

  parts = {UdpSockUtil1, MidiOutput1, Timer1, &Rules, Sync.get(), Link.get()};
  Publish(false);
  Glance();
}

Engine::Core::~Core() {
  // The endpoint first: no datagram is handled once teardown has begun.
  delete UdpSockUtil1;
  Link.reset();  // a peer still leaving is waited for: the engine is ending anyway
  Sync.reset();
}

// ---- The specified handlers

void Engine::Core::UdpSockUtil1Receive(TObject*) {
  // Every notice reads once, whatever is pending: a zero-byte datagram must be taken off the
  // socket too, or no later datagram is announced. An empty read ends here.
  std::uint32_t sender = 0;
  UdpSockUtil1->ReceiveText(sender, datagram_);
  if (datagram_.empty()) return;
  // For the glance: the sender first, so that whoever sees the new time sees its sender.
  e_.last_sender_.store(sender, std::memory_order_relaxed);
  arrival_us_ = NowUs();
  e_.last_datagram_us_.store(arrival_us_, std::memory_order_release);
  Rules.Datagram(datagram_, sender);
}

void Engine::Core::Timer1Timer(TObject*) {
  Rules.BeatTimeout();
}

// ---- The rules' output

void Engine::Core::Reply(std::uint32_t sender, std::string_view bytes) {
  UdpSockUtil1->SetRemoteHost(inet_ntoa(sender));
  UdpSockUtil1->SetRemotePort(10000);
  reply_.assign(bytes);
  UdpSockUtil1->SendText(reply_);
}

void Engine::Core::ArmReplyTimer(int ms) {
  ReplyTimer->SetEnabled(false);
  if (ms < 0) return;
  // Armed again, it starts afresh; a reply due now still waits for the loop's next pass.
  ReplyTimer->SetInterval(static_cast<UINT>(std::max(ms, 1)));
  ReplyTimer->SetEnabled(true);
}

std::int64_t Engine::Core::NowUs() {
  return SteadyNowUs();
}

void Engine::Core::DeckCaption(std::string_view caption) {
  CopyCaption(shown_.deck_caption, caption);
  Publish();
}

void Engine::Core::BeatIndicator(bool on) {
  Timer1->SetEnabled(on);  // already running: not restarted
  if (shown_.beat_lit == on) return;
  shown_.beat_lit = on;
  Publish();
}

void Engine::Core::PositionCaption(std::string_view caption) {
  CopyCaption(shown_.position_caption, caption);
  Publish();
}

void Engine::Core::ShortMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  const std::uint8_t bytes[3] = {status, data1, data2};
  const int data = ShortMessageDataBytes(status);
  // A message the port would refuse is refused by the port, offset or not.
  if (data >= 0 && Sync->Delay(bytes, static_cast<std::uint16_t>(1 + data))) return;
  MidiOutput1->SendShortMessage(status, data1, data2);
}

void Engine::Core::LongMessage(const std::uint8_t* bytes, std::uint16_t length) {
  if (Sync->Delay(bytes, length)) return;
  MidiOutput1->SendLongMessage(bytes, length);
}

// The clock is an output of its own: whatever it meets must not keep the beat from its note.
// The clock's estimator and Link's take the same arrival, so that the two grids agree.
void Engine::Core::DeckBeat() {
  Guarded([this] { Sync->Beat(arrival_us_); });
  Link->Beat(arrival_us_);
}

void Engine::Core::LiveDeckChanged() {
  Sync->DeckChanged(arrival_us_);
  Link->DeckChanged(arrival_us_);
}

void Engine::Core::StreamPosition(std::int32_t position) {
  Sync->Position(arrival_us_, position);
}

void Engine::Core::LogLine(std::string_view line) {
  // Lines dropped before this one are marked where they were, together with it.
  char count[sizeof drops_pending_];
  std::memcpy(count, &drops_pending_, sizeof count);
  const bool pushed =
      drops_pending_ > 0
          ? e_.log_.Push(kDropped, std::string_view(count, sizeof count), kLine, line)
          : e_.log_.Push(kLine, line);
  if (!pushed) {
    ++drops_pending_;
    ++shown_.dropped_log_lines;
    Publish(false);
    return;
  }
  drops_pending_ = 0;
  e_.Notify(kLog);
}

// The mark of lines dropped when no line has followed them, once the window has made room.
void Engine::Core::FlushDrops() {
  if (drops_pending_ == 0) return;
  char count[sizeof drops_pending_];
  std::memcpy(count, &drops_pending_, sizeof count);
  if (!e_.log_.Push(kDropped, std::string_view(count, sizeof count))) return;
  drops_pending_ = 0;
  e_.Notify(kLog);
}

void Engine::Core::Glance() {
  Status s;
  s.listening = UdpSockUtil1->Listening();
  CopyName(s.midi_name, MidiOutput1->FullName());
  s.midi_connections = MidiOutput1->Connections();
  s.midi_gone = MidiOutput1->DeviceGone();
  if (s == glanced_) return;
  glanced_ = s;
  e_.status_.Write(s);
}

void Engine::Core::Publish(bool news) {
  ++shown_.version;
  e_.snapshot_.Write(shown_);
  if (news && e_.want_captions_.load(std::memory_order_relaxed)) e_.Notify(kCaptions);
}

// ---- Commands

void Engine::Core::Run(Op op, std::uintptr_t arg) {
  switch (op) {
    case Op::Debug:
      Rules.debug = arg != 0;
      break;
    case Op::BeatsOut:
      Rules.beats_out = arg != 0;
      break;
    case Op::TimeCodeOut:
      Rules.time_code_out = arg != 0;
      Sync->SetTimeCodeOut(arg != 0);
      break;
    case Op::Channel:
      channel_ = static_cast<std::int32_t>(arg);
      break;
    case Op::Filter: {
      const std::unique_ptr<std::string> lines(reinterpret_cast<std::string*>(arg));
      Rules.SetFilter(*lines);
      break;
    }
    case Op::Beat:
      Rules.Beat();
      break;
    case Op::Time:
      Rules.Time(static_cast<std::int32_t>(static_cast<std::intptr_t>(arg)));
      break;
    case Op::Datagram: {
      const std::unique_ptr<PostedDatagram> d(reinterpret_cast<PostedDatagram*>(arg));
      Rules.Datagram(d->bytes, d->sender);
      break;
    }
    case Op::ChangeDevice: {
      const auto device = static_cast<std::int32_t>(static_cast<std::intptr_t>(arg));
      MidiOutput1->Close();
      MidiOutput1->SetDeviceID(device);
      MidiOutput1->Open();
      Glance();
      char number[sizeof device];
      std::memcpy(number, &device, sizeof number);
      e_.notices_.Push(kDeviceChosen, std::string_view(number, sizeof number));
      e_.Notify(kNotices);
      break;
    }
    case Op::MtcRate:
      Sync->SetMtcRate(static_cast<int>(static_cast<std::intptr_t>(arg)));
      Rules.mtc_rate = Sync->MtcRate();
      break;
    case Op::MidiClock:
      Sync->SetClock(arg != 0);
      break;
    case Op::OffsetMs:
      Sync->SetOffsetMs(static_cast<int>(static_cast<std::intptr_t>(arg)));
      Link->SetOffsetMs(Sync->OffsetMs());
      break;
    case Op::Link:
      Link->SetOn(arg != 0);
      break;
    case Op::LinkStartStop:
      Link->SetStartStop(arg != 0);
      break;
    case Op::FlushDrops:
      FlushDrops();
      break;
    case Op::Call: {
      const std::unique_ptr<std::shared_ptr<CallRequest>> held(
          reinterpret_cast<std::shared_ptr<CallRequest>*>(arg));
      const std::shared_ptr<CallRequest> request = *held;
      (*request->f)(parts);
      Glance();  // start-up and shutdown open and close here
      request->state.store(1, std::memory_order_release);
      request->state.notify_all();
      break;
    }
  }
}

// ---- Engine

Engine::Engine(Options options)
    : wake_(std::move(options.wake)), log_(kLogBytes), notices_(kNoticeBytes) {
  thread_ =
      std::thread([this, options = std::move(options)]() mutable { Main(std::move(options)); });
  started_.wait(0);
  if (started_.load() == 2) {
    thread_.join();
    std::rethrow_exception(start_error_);
  }
}

Engine::~Engine() {
  loop_->Quit();
  thread_.join();
  loop_.reset();
}

void Engine::Main(Options options) {
  pthread_setname_np(pthread_self(), "quillbox-engine");
  loop_ = std::make_unique<EventLoop>();
  // Errors that leave the engine's handlers go to the window's one box.
  SetThreadErrorSink([this](const std::string& text) {
    if (!notices_.Push(kError, text)) errors_lost_.fetch_add(1, std::memory_order_relaxed);
    Notify(kNotices);
  });
  try {
    core_ = std::make_unique<Core>(*this, options);
  } catch (...) {
    start_error_ = std::current_exception();
    SetThreadErrorSink({});
    loop_->Leave();
    started_.store(2);
    started_.notify_all();
    return;
  }
  started_.store(1);
  started_.notify_all();
  loop_->Run();
  core_.reset();  // the components go on the thread that served them
  SetThreadErrorSink({});
  loop_->Leave();
}

void Engine::Notify(News news) {
  if (!(pending_.fetch_or(news, std::memory_order_acq_rel) & news) && wake_) wake_();
}

void Engine::Post(Op op, std::uintptr_t arg) {
  EventLoop::Task task;
  task.a = reinterpret_cast<std::uintptr_t>(this);
  task.b = static_cast<std::uintptr_t>(op);
  task.c = arg;
  task.run = [](const EventLoop::Task& t) {
    reinterpret_cast<Engine*>(t.a)->core_->Run(static_cast<Op>(t.b), t.c);
  };
  // What a command owns goes with it when the loop has gone first.
  task.discard = [](const EventLoop::Task& t) {
    switch (static_cast<Op>(t.b)) {
      case Op::Filter:
        delete reinterpret_cast<std::string*>(t.c);
        break;
      case Op::Datagram:
        delete reinterpret_cast<PostedDatagram*>(t.c);
        break;
      case Op::Call: {
        const std::unique_ptr<std::shared_ptr<CallRequest>> held(
            reinterpret_cast<std::shared_ptr<CallRequest>*>(t.c));
        (*held)->state.store(2, std::memory_order_release);
        (*held)->state.notify_all();
        break;
      }
      default:
        break;
    }
  };
  // A full queue means the engine is that far behind: a command waits for room rather than
  // getting lost. Only the window posts, and it may wait for the engine.
  while (!loop_->Post(task)) {
    if (!thread_.joinable()) {
      task.discard(task);
      return;
    }
    std::this_thread::yield();
  }
}

void Engine::RunAndWait(const std::function<void(Components&)>& f) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    f(core_->parts);
    return;
  }
  auto request = std::make_shared<CallRequest>();
  request->f = &f;
  Post(Op::Call, reinterpret_cast<std::uintptr_t>(new std::shared_ptr<CallRequest>(request)));
  request->state.wait(0, std::memory_order_acquire);
  if (request->state.load() == 2) throw std::runtime_error("the engine has stopped");
}

void Engine::SetLocalTime(std::function<TimeOfDay()> clock) {
  auto* core = core_.get();
  Call([&](Components&) { core->SetLocalTime(std::move(clock)); });
}

void Engine::SetDebug(bool on) {
  Post(Op::Debug, on);
}
void Engine::SetBeatsOut(bool on) {
  Post(Op::BeatsOut, on);
}
void Engine::SetTimeCodeOut(bool on) {
  Post(Op::TimeCodeOut, on);
}
void Engine::SetChannel(std::int32_t value) {
  Post(Op::Channel, static_cast<std::uintptr_t>(static_cast<std::uint32_t>(value)));
}
void Engine::SetFilter(std::string lines) {
  Post(Op::Filter, reinterpret_cast<std::uintptr_t>(new std::string(std::move(lines))));
}
void Engine::Beat() {
  Post(Op::Beat);
}
void Engine::Time(std::int32_t position) {
  Post(Op::Time, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(position)));
}
void Engine::Datagram(std::string bytes, std::uint32_t sender) {
  Post(Op::Datagram,
       reinterpret_cast<std::uintptr_t>(new PostedDatagram{std::move(bytes), sender}));
}
void Engine::SetMtcRate(std::int32_t rate) {
  Post(Op::MtcRate, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(rate)));
}
void Engine::SetMidiClock(bool on) {
  Post(Op::MidiClock, on);
}
void Engine::SetOffsetMs(std::int32_t ms) {
  Post(Op::OffsetMs, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(ms)));
}
void Engine::SetLink(bool on) {
  Post(Op::Link, on);
}
void Engine::SetLinkStartStop(bool on) {
  Post(Op::LinkStartStop, on);
}
void Engine::ChangeDevice(std::int32_t device) {
  Post(Op::ChangeDevice, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(device)));
}

Snapshot Engine::TakeSnapshot() {
  pending_.fetch_and(~unsigned{kCaptions}, std::memory_order_acq_rel);
  return snapshot_.Read();
}

std::int32_t Engine::TakeLinkPeers() {
  pending_.fetch_and(~unsigned{kLink}, std::memory_order_acq_rel);
  return snapshot_.Read().link_peers;
}

Status Engine::ReadStatus() const {
  Status s = status_.Read();
  s.last_datagram_us = last_datagram_us_.load(std::memory_order_acquire);
  s.sender = last_sender_.load(std::memory_order_relaxed);
  return s;
}

std::string Engine::DroppedLine(std::uint64_t count) {
  // '(' as a char: gcc 12 at -O3 warns falsely (-Wrestrict) on a string literal put in front
  // of a temporary string.
  return '(' + std::to_string(count) + (count == 1 ? " line" : " lines") +
         " dropped: the window could not keep up)";
}

void Engine::TakeLogLines(std::string& out) {
  pending_.fetch_and(~unsigned{kLog}, std::memory_order_acq_rel);
  log_.Drain([&](std::uint8_t kind, std::string_view bytes) {
    if (kind == kLine) {
      out.append(bytes);
    } else if (kind == kDropped && bytes.size() == sizeof(std::uint64_t)) {
      std::uint64_t count;
      std::memcpy(&count, bytes.data(), sizeof count);
      drops_shown_ += count;
      out += DroppedLine(count);
    }
    out += '\n';
  });
  // Lines dropped with nothing logged after them yet: their marker is still to come.
  if (snapshot_.Read().dropped_log_lines > drops_shown_) Post(Op::FlushDrops);
}

void Engine::TakeNotices(const std::function<void(const Notice&)>& each, int& errors_lost) {
  pending_.fetch_and(~unsigned{kNotices}, std::memory_order_acq_rel);
  notices_.Drain([&](std::uint8_t kind, std::string_view bytes) {
    if (kind == kError) {
      each({Notice::Kind::Error, bytes, 0});
    } else if (kind == kDeviceChosen && bytes.size() == sizeof(std::int32_t)) {
      std::int32_t device;
      std::memcpy(&device, bytes.data(), sizeof device);
      each({Notice::Kind::DeviceChosen, {}, device});
    }
  });
  errors_lost = errors_lost_.exchange(0, std::memory_order_relaxed);
}

}  // namespace qb
