// The ALSA sequencer through RtMidi: our own virtual port "quillbox" first, then the writable
// ports of the sequencer. A watch of our own follows the sequencer's announcements: a port that
// exits (an interface unplugged) makes the devices sending to it gone, and a port that starts
// lets the service look for gone devices again. RtMidi's errors and warnings are caught here
// and turned into result codes; nothing of RtMidi or libasound leaves this file.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <RtMidi.h>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "midi/backends.h"

namespace qb::detail {
namespace {

constexpr const char* kClientName = "quillbox";

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

class RtMidiDevice : public OutputDevice {
 public:
  RtMidiDevice(std::unique_ptr<Output> output, std::shared_ptr<Presence> presence)
      : output_(std::move(output)), presence_(std::move(presence)) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    if (!Alive()) return MIDIERR_NODEVICE;
    return output_->Run([&] { output_->out->sendMessage(bytes, length); });
  }
  bool Alive() const override { return presence_->alive.load(); }

 private:
  std::unique_ptr<Output> output_;
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
    auto o = std::make_unique<Output>();
    MMRESULT r = o->Create();
    if (r) return r;
    r = o->Run([&] { o->out->openVirtualPort(kVirtualPortName); });
    if (r) return r;
    device = std::make_unique<RtMidiDevice>(std::move(o), Track(-1, -1));
    return MMSYSERR_NOERROR;
  }

  MMRESULT OpenPort(const std::string& name, std::unique_ptr<OutputDevice>& device) {
    if (!SequencerPresent()) return MIDIERR_NODEVICE;
    auto o = std::make_unique<Output>();
    MMRESULT r = o->Create();
    if (r) return r;
    // The ports may have moved since they were counted: open the one of this name or none.
    unsigned count = 0, index = 0;
    r = o->Run([&] {
      count = o->out->getPortCount();
      for (index = 0; index < count && o->out->getPortName(index) != name; ++index) {
      }
    });
    if (r) return r;
    if (index >= count) return MIDIERR_NODEVICE;
    r = o->Run([&] { o->out->openPort(index, kClientName); });
    if (r) return r;
    int client = -1, port = -1;
    AddressOf(name, client, port);
    device = std::make_unique<RtMidiDevice>(std::move(o), Track(client, port));
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
