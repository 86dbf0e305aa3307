// The ALSA sequencer: our own virtual port "quillbox" first, then the writable ports of the
// sequencer, listed through RtMidi under the names it gives them. What is sent goes out through a
// sequencer client of each device's own, with a queue of its own, so that a message handed over
// ahead of its time is delivered by the sequencer at that time (RtMidi sends every event at once
// and keeps its client to itself). A watch of our own follows the sequencer's announcements: a
// port that exits (an interface unplugged) makes the devices sending to it gone, and a port that
// starts lets the service look for gone devices again. RtMidi's errors and warnings are caught
// here and turned into result codes; nothing of RtMidi or libasound leaves this file.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <RtMidi.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "midi/backends.h"
#include "platform/steadyclock.h"

namespace qb::detail {
namespace {

constexpr const char* kClientName = "quillbox";
// How far ahead of their time messages are handed to the sequencer's queue: more than the
// engine's wake-ups are late on a loaded machine, so that the sequencer, not the wake-up, sets
// the time.
constexpr std::int64_t kLeadUs = 10'000;

// Collects what RtMidi reports instead of letting it print or throw.
struct ErrorSink {
  bool failed = false;
  RtMidiError::Type type = RtMidiError::UNSPECIFIED;

  static void Callback(RtMidiError::Type t, const std::string&, void* user) {
    auto* self = static_cast<ErrorSink*>(user);
    if (t == RtMidiError::DEBUG_WARNING) return;
    self->failed = true;
    self->type = t;
  }
  MMRESULT Code() const { return Code(type); }
  static MMRESULT Code(RtMidiError::Type t) {
    switch (t) {
      case RtMidiError::NO_DEVICES_FOUND:
      case RtMidiError::INVALID_DEVICE:
        return MIDIERR_NODEVICE;
      case RtMidiError::MEMORY_ERROR:
        return MMSYSERR_NOMEM;
      case RtMidiError::INVALID_PARAMETER:
        return MMSYSERR_INVALPARAM;
      case RtMidiError::INVALID_USE:
        return MMSYSERR_NOTSUPPORTED;
      default:
        return MMSYSERR_ERROR;
    }
  }
};

bool SequencerPresent() {
  return access("/dev/snd/seq", R_OK | W_OK) == 0;
}

// One RtMidi output with its error sink; the sink must outlive the output.
struct Output {
  ErrorSink sink;
  std::unique_ptr<RtMidiOut> out;

  MMRESULT Create() {
    try {
      out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName);
    } catch (const RtMidiError& e) {
      return ErrorSink::Code(e.getType());
    } catch (const std::bad_alloc&) {
      return MMSYSERR_NOMEM;
    }
    out->setErrorCallback(&ErrorSink::Callback, &sink);
    sink.failed = false;
    return MMSYSERR_NOERROR;
  }
  template <class F>
  MMRESULT Run(F&& f) {
    sink.failed = false;
    try {
      f();
    } catch (const RtMidiError& e) {
      return ErrorSink::Code(e.getType());
    } catch (const std::bad_alloc&) {
      return MMSYSERR_NOMEM;
    }
    return sink.failed ? sink.Code() : MMSYSERR_NOERROR;
  }
};

// The sequencer address RtMidi puts at the end of a port's name ("Client:Port 20:0").
bool AddressOf(const std::string& name, int& client, int& port) {
  const auto space = name.rfind(' ');
  if (space == std::string::npos) return false;
  return std::sscanf(name.c_str() + space + 1, "%d:%d", &client, &port) == 2;
}

// The sequencer's announcements of ports starting and exiting, on a client of its own.
class Announcements {
 public:
  Announcements() = default;
  ~Announcements() {
    if (thread_.joinable()) {
      const char stop = 0;
      (void)!write(wake_[1], &stop, 1);
      thread_.join();
    }
    if (seq_) snd_seq_close(seq_);
    for (int fd : wake_)
      if (fd >= 0) close(fd);
  }
  Announcements(const Announcements&) = delete;
  Announcements& operator=(const Announcements&) = delete;

  void Start(std::function<void(int client, int port, bool exited)> notice) {
    if (seq_ || snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) return;
    snd_seq_set_client_name(seq_, "quillbox-watch");
    const int port = snd_seq_create_simple_port(seq_, "announce",
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 ||
        snd_seq_connect_from(seq_, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0 ||
        pipe(wake_) != 0) {
      snd_seq_close(seq_);
      seq_ = nullptr;
      return;
    }
    thread_ = std::thread([this, notice = std::move(notice)] { Run(notice); });
  }

 private:
  void Run(const std::function<void(int, int, bool)>& notice) {
    std::vector<pollfd> fds(1 +
                            static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq_, POLLIN)));
    fds[0] = {wake_[0], POLLIN, 0};
    snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), POLLIN);
    for (;;) {
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents) return;
      snd_seq_event_t* ev = nullptr;
      while (snd_seq_event_input(seq_, &ev) >= 0 && ev) {
        switch (ev->type) {
          case SND_SEQ_EVENT_PORT_EXIT:
            notice(ev->data.addr.client, ev->data.addr.port, true);
            break;
          case SND_SEQ_EVENT_CLIENT_EXIT:
            notice(ev->data.addr.client, -1, true);
            break;
          case SND_SEQ_EVENT_PORT_START:
            notice(ev->data.addr.client, ev->data.addr.port, false);
            break;
          default:
            break;
        }
      }
    }
  }

  snd_seq_t* seq_ = nullptr;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

// A port's liveness, shared by its device and the provider's watch.
struct Presence {
  int client = -1, port = -1;  // -1: our own port, which only the sequencer itself can end
  std::atomic<bool> alive{true};
};

// A sequencer client of one device's own: the port it sends from, and a queue that delivers
// events at their time. Opened without blocking, so a full sequencer fails a send instead of
// holding up the engine.
class SeqOutput {
 public:
  SeqOutput() = default;
  ~SeqOutput() {
    if (coder_) snd_midi_event_free(coder_);
    if (seq_) snd_seq_close(seq_);  // frees the queue with what it still holds
  }
  SeqOutput(const SeqOutput&) = delete;
  SeqOutput& operator=(const SeqOutput&) = delete;

  // To the destination, or as our own port that others subscribe to when client is -1.
  MMRESULT Open(int client, int port) {
    if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) {
      seq_ = nullptr;
      return MIDIERR_NODEVICE;
    }
    snd_seq_set_client_name(seq_, kClientName);
    const unsigned caps =
        client < 0 ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ : SND_SEQ_PORT_CAP_READ;
    port_ =
        snd_seq_create_simple_port(seq_, client < 0 ? kVirtualPortName : kClientName, caps,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port_ < 0) return MMSYSERR_ERROR;
    if (client >= 0 && snd_seq_connect_to(seq_, port_, client, port) < 0) return MIDIERR_NODEVICE;
    if (snd_midi_event_new(256, &coder_) < 0) {
      coder_ = nullptr;
      return MMSYSERR_NOMEM;
    }
    snd_midi_event_no_status(coder_, 1);  // every message whole, as it was given
    StartQueue();
    return MMSYSERR_NOERROR;
  }

  // At once, or after delay_us on the queue.
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length, std::int64_t delay_us) {
    if (length == 0) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);  // the engine and the long-message worker both send
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    if (bytes[0] == 0xF0) {
      snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(length), const_cast<std::uint8_t*>(bytes));
    } else {
      snd_midi_event_reset_encode(coder_);
      if (snd_midi_event_encode(coder_, bytes, static_cast<long>(length), &ev) !=
              static_cast<long>(length) ||
          ev.type == SND_SEQ_EVENT_NONE)
        return MMSYSERR_INVALPARAM;
    }
    snd_seq_ev_set_source(&ev, port_);
    snd_seq_ev_set_subs(&ev);
    if (delay_us > 0 && queue_ >= 0) {
      snd_seq_real_time_t after;
      after.tv_sec = static_cast<unsigned>(delay_us / 1'000'000);
      after.tv_nsec = static_cast<unsigned>(delay_us % 1'000'000 * 1000);
      snd_seq_ev_schedule_real(&ev, queue_, 1, &after);
    } else {
      snd_seq_ev_set_direct(&ev);
    }
    // Straight to the sequencer, past libasound's buffer: an event left waiting there would go
    // only with the next send, late or never. A full pool refuses it (-EAGAIN), as a full ring
    // does on other systems, rather than losing it.
    if (const int r = snd_seq_event_output_direct(seq_, &ev); r < 0) {
      if (r == -EAGAIN) return MIDIERR_NOTREADY;
      return r == -ENOMEM ? MMSYSERR_NOMEM : MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
  }
  bool Scheduled() const { return queue_ >= 0; }

  // The subscribers of our port: those who read from our own port, or the destination we
  // connected to and whoever else reads from it.
  int Subscribers() {
    std::lock_guard lock(mutex_);
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_addr_t root;
    root.client = static_cast<unsigned char>(snd_seq_client_id(seq_));
    root.port = static_cast<unsigned char>(port_);
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    const int r = snd_seq_query_port_subscribers(seq_, query);
    if (r == -ENOENT) return 0;  // not even a first one
    if (r < 0) return -1;
    return snd_seq_query_subscribe_get_num_subs(query);
  }

 private:
  // On the high-resolution timer where the kernel has one; without a queue every send goes at
  // once, as before there were timed messages.
  void StartQueue() {
    const int q = snd_seq_alloc_named_queue(seq_, kClientName);
    if (q < 0) return;
    snd_seq_queue_timer_t* timer;
    snd_seq_queue_timer_alloca(&timer);
    snd_timer_id_t* id;
    snd_timer_id_alloca(&id);
    if (snd_seq_get_queue_timer(seq_, q, timer) == 0) {
      snd_timer_id_set_class(id, SND_TIMER_CLASS_GLOBAL);
      snd_timer_id_set_sclass(id, SND_TIMER_SCLASS_NONE);
      snd_timer_id_set_card(id, -1);
      snd_timer_id_set_device(id, SND_TIMER_GLOBAL_HRTIMER);
      snd_timer_id_set_subdevice(id, 0);
      snd_seq_queue_timer_set_id(timer, id);
      // The queue's time moves in steps of its timer's ticks (1 ms by default): a tenth of that.
      snd_seq_queue_timer_set_resolution(timer, 100'000);
      snd_seq_set_queue_timer(seq_, q, timer);  // else the queue keeps the system timer
    }
    if (snd_seq_start_queue(seq_, q, nullptr) < 0 || snd_seq_drain_output(seq_) < 0) {
      snd_seq_free_queue(seq_, q);
      return;
    }
    queue_ = q;
  }

  std::mutex mutex_;
  snd_seq_t* seq_ = nullptr;
  int port_ = -1;
  int queue_ = -1;
  snd_midi_event_t* coder_ = nullptr;
};

class SeqDevice : public OutputDevice {
 public:
  SeqDevice(std::unique_ptr<SeqOutput> output, std::shared_ptr<Presence> presence)
      : output_(std::move(output)), presence_(std::move(presence)) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    if (!Alive()) return MIDIERR_NODEVICE;
    return output_->Send(bytes, length, 0);
  }
  MMRESULT SendAt(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us) override {
    if (!Alive()) return MIDIERR_NODEVICE;
    return output_->Send(bytes, length, due_us - SteadyNowUs());
  }
  std::int64_t LeadUs() const override { return output_->Scheduled() ? kLeadUs : 0; }
  bool Alive() const override { return presence_->alive.load(); }
  int Connections() override { return output_->Subscribers(); }

 private:
  std::unique_ptr<SeqOutput> output_;
  std::shared_ptr<Presence> presence_;
};

class AlsaProvider : public DeviceProvider {
 public:
  void Watch(std::function<void()> changed) override {
    std::lock_guard lock(mutex_);
    changed_ = std::move(changed);
  }

  std::vector<DeviceEntry> Devices() override {
    std::lock_guard lock(mutex_);
    std::vector<DeviceEntry> list;
    // Without the sequencer device ALSA would only print its failure; a sequencer that
    // refused us once is not asked again.
    if (!lister_ && !refused_ && SequencerPresent()) {
      auto o = std::make_unique<Output>();
      if (o->Create() == MMSYSERR_NOERROR) {
        lister_ = std::move(o);
        announcements_.Start(
            [this](int client, int port, bool exited) { Announced(client, port, exited); });
      }
      refused_ = !lister_;
    }
    if (!lister_) return list;

    DeviceEntry own;
    own.name = kVirtualPortName;
    own.technology = MOD_SWSYNTH;
    own.own = true;
    own.open = [this](std::unique_ptr<OutputDevice>& device) { return OpenVirtual(device); };
    list.push_back(std::move(own));
    unsigned count = 0;
    if (lister_->Run([&] { count = lister_->out->getPortCount(); }) != MMSYSERR_NOERROR)
      return list;
    for (unsigned i = 0; i < count; ++i) {
      std::string name;
      if (lister_->Run([&] { name = lister_->out->getPortName(i); })) continue;
      DeviceEntry e;
      e.name = name;
      e.open = [this, name](std::unique_ptr<OutputDevice>& device) {
        return OpenPort(name, device);
      };
      list.push_back(std::move(e));
    }
    return list;
  }

 private:
  void Announced(int client, int port, bool exited) {
    std::function<void()> changed;
    {
      std::lock_guard lock(presence_mutex_);
      for (auto it = open_.begin(); it != open_.end();) {
        auto p = it->lock();
        if (!p) {
          it = open_.erase(it);
          continue;
        }
        if (exited && p->client == client && (port < 0 || p->port == port)) p->alive = false;
        ++it;
      }
    }
    {
      std::lock_guard lock(mutex_);
      changed = changed_;
    }
    if (changed) changed();
  }

  std::shared_ptr<Presence> Track(int client, int port) {
    auto p = std::make_shared<Presence>();
    p->client = client;
    p->port = port;
    std::lock_guard lock(presence_mutex_);
    open_.push_back(p);
    return p;
  }

  MMRESULT OpenVirtual(std::unique_ptr<OutputDevice>& device) {
    if (!SequencerPresent()) return MIDIERR_NODEVICE;
    auto o = std::make_unique<SeqOutput>();
    if (const MMRESULT r = o->Open(-1, -1)) return r;
    device = std::make_unique<SeqDevice>(std::move(o), Track(-1, -1));
    return MMSYSERR_NOERROR;
  }

  MMRESULT OpenPort(const std::string& name, std::unique_ptr<OutputDevice>& device) {
    if (!SequencerPresent()) return MIDIERR_NODEVICE;
    // The ports may have moved since they were counted: open the one of this name or none.
    bool listed = false;
    {
      std::lock_guard lock(mutex_);
      if (!lister_) return MIDIERR_NODEVICE;
      unsigned count = 0;
      const MMRESULT r = lister_->Run([&] {
        count = lister_->out->getPortCount();
        for (unsigned i = 0; i < count && !listed; ++i)
          listed = lister_->out->getPortName(i) == name;
      });
      if (r) return r;
    }
    int client = -1, port = -1;
    if (!listed || !AddressOf(name, client, port)) return MIDIERR_NODEVICE;
    auto o = std::make_unique<SeqOutput>();
    if (const MMRESULT r = o->Open(client, port)) return r;
    device = std::make_unique<SeqDevice>(std::move(o), Track(client, port));
    return MMSYSERR_NOERROR;
  }

  std::mutex mutex_;
  bool refused_ = false;
  std::unique_ptr<Output> lister_;
  std::function<void()> changed_;
  std::mutex presence_mutex_;
  std::vector<std::weak_ptr<Presence>> open_;
  Announcements announcements_;  // last: its thread stops before the rest goes
};

}  // namespace

std::unique_ptr<DeviceProvider> CreateAlsaProvider() {
  return std::make_unique<AlsaProvider>();
}

}  // namespace qb::detail
