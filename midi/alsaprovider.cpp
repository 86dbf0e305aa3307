// The real MIDI systems through RtMidi: our own virtual port "quillbox" first, then the writable
// ports of the ALSA sequencer, then those of a running JACK server. RtMidi's errors and warnings
// are caught here and turned into result codes; nothing of RtMidi leaves this file.
#include <jack/jack.h>
#include <unistd.h>

#include <RtMidi.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "midi/sessionservice.h"

namespace qb::detail {
namespace {

constexpr const char* kClientName = "quillbox";
constexpr const char* kListClientName = "quillbox-devices";

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

void Quiet(const char*) {}

void PrepareJackEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A bridge must never start a server behind the user's back.
    setenv("JACK_NO_START_SERVER", "1", 0);
    // libjack reports a missing server on standard error; that is a normal case for us.
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

bool AlsaSequencerPresent() {
  return access("/dev/snd/seq", R_OK | W_OK) == 0;
}

// Lists the JACK server's MIDI inputs through a client of our own, in the order RtMidi numbers
// them, and notices when the server goes away so that a later server is found again.
class JackLister {
 public:
  JackLister() = default;
  JackLister(const JackLister&) = delete;
  JackLister& operator=(const JackLister&) = delete;
  ~JackLister() { Drop(); }

  bool Connected() {
    if (client_ && gone_.load()) Drop();
    if (!client_) {
      PrepareJackEnvironment();
      jack_status_t status;
      client_ = jack_client_open(kListClientName, JackNoStartServer, &status);
      if (client_) {
        gone_ = false;
        jack_on_shutdown(client_, &JackLister::OnShutdown, this);
      }
    }
    return client_ != nullptr;
  }

  // A new connection carries data only once the server has switched to the new graph, at a
  // later cycle: waits until the server has really run a few cycles (the frame time at the start
  // of the last cycle, not the one estimated from the clock) or a second has passed.
  void WaitCycles(unsigned cycles) {
    if (!Connected()) return;
    const jack_nframes_t start = jack_last_frame_time(client_);
    const jack_nframes_t span = cycles * jack_get_buffer_size(client_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (jack_last_frame_time(client_) - start < span &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::vector<std::string> Ports() {
    std::vector<std::string> names;
    if (!Connected()) return names;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (!ports) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
  }

 private:
  static void OnShutdown(void* self) { static_cast<JackLister*>(self)->gone_ = true; }
  void Drop() {
    if (client_) jack_client_close(client_);
    client_ = nullptr;
  }

  jack_client_t* client_ = nullptr;
  std::atomic<bool> gone_{false};
};

// One RtMidi output with its error sink; the sink must outlive the output.
struct Output {
  ErrorSink sink;
  std::unique_ptr<RtMidiOut> out;

  MMRESULT Create(RtMidi::Api api, const char* client) {
    try {
      out = std::make_unique<RtMidiOut>(api, client);
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

class RtMidiDevice : public OutputDevice {
 public:
  explicit RtMidiDevice(std::unique_ptr<Output> output) : output_(std::move(output)) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    return output_->Run([&] { output_->out->sendMessage(bytes, length); });
  }

 private:
  std::unique_ptr<Output> output_;
};

class RtMidiProvider : public DeviceProvider {
 public:
  std::vector<DeviceEntry> Devices() override {
    std::lock_guard lock(mutex_);
    Refresh();
    std::vector<DeviceEntry> list;
    const bool jack = jack_.Connected();
    if (alsa_ || jack) {
      RtMidi::Api api = alsa_ ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
      DeviceEntry e;
      e.caps = MakeCaps(kVirtualPortName, MOD_SWSYNTH);
      e.open = [this, api](std::unique_ptr<OutputDevice>& device) {
        return OpenVirtual(api, device);
      };
      list.push_back(std::move(e));
    }
    if (alsa_) {
      unsigned count = 0;
      if (alsa_->Run([&] { count = alsa_->out->getPortCount(); }) == MMSYSERR_NOERROR) {
        for (unsigned i = 0; i < count; ++i) {
          std::string name;
          if (alsa_->Run([&] { name = alsa_->out->getPortName(i); })) continue;
          AddPort(RtMidi::LINUX_ALSA, i, name, list);
        }
      }
    }
    if (jack) {
      auto ports = jack_.Ports();
      for (unsigned i = 0; i < ports.size(); ++i) AddPort(RtMidi::UNIX_JACK, i, ports[i], list);
    }
    return list;
  }

 private:
  void Refresh() {
    // Without the sequencer device ALSA would only print its failure; a sequencer that
    // refused us once is not asked again.
    if (!alsa_ && !alsa_refused_ && AlsaSequencerPresent()) {
      alsa_ = Make(RtMidi::LINUX_ALSA, kClientName);
      alsa_refused_ = !alsa_;
    }
  }

  static std::unique_ptr<Output> Make(RtMidi::Api api, const char* client) {
    if (api == RtMidi::UNIX_JACK) PrepareJackEnvironment();
    auto o = std::make_unique<Output>();
    if (o->Create(api, client) != MMSYSERR_NOERROR) return nullptr;
    return o;
  }

  void AddPort(RtMidi::Api api, unsigned index, const std::string& name,
               std::vector<DeviceEntry>& list) {
    DeviceEntry e;
    e.caps = MakeCaps(name, MOD_MIDIPORT);
    e.open = [this, api, index, name](std::unique_ptr<OutputDevice>& device) {
      return OpenPort(api, index, name, device);
    };
    list.push_back(std::move(e));
  }

  bool Available(RtMidi::Api api) {
    std::lock_guard lock(mutex_);
    return api == RtMidi::UNIX_JACK ? jack_.Connected() : AlsaSequencerPresent();
  }

  MMRESULT OpenVirtual(RtMidi::Api api, std::unique_ptr<OutputDevice>& device) {
    if (!Available(api)) return MIDIERR_NODEVICE;
    auto o = std::make_unique<Output>();
    MMRESULT r = o->Create(api, kClientName);
    if (r) return r;
    r = o->Run([&] { o->out->openVirtualPort(kVirtualPortName); });
    if (r) return r;
    device = std::make_unique<RtMidiDevice>(std::move(o));
    return MMSYSERR_NOERROR;
  }

  MMRESULT OpenPort(RtMidi::Api api, unsigned index, const std::string& name,
                    std::unique_ptr<OutputDevice>& device) {
    if (!Available(api)) return MIDIERR_NODEVICE;
    auto o = std::make_unique<Output>();
    MMRESULT r = o->Create(api, kClientName);
    if (r) return r;
    // The ports may have moved since they were counted: open only the one that was listed.
    std::string now;
    unsigned count = 0;
    r = o->Run([&] {
      count = o->out->getPortCount();
      if (index < count) now = o->out->getPortName(index);
    });
    if (r) return r;
    if (index >= count || now != name) return MIDIERR_NODEVICE;
    r = o->Run([&] { o->out->openPort(index, kClientName); });
    if (r) return r;
    if (api == RtMidi::UNIX_JACK) {
      // Without this the first messages after opening can fall into the old graph and be lost.
      std::lock_guard lock(mutex_);
      jack_.WaitCycles(4);
    }
    device = std::make_unique<RtMidiDevice>(std::move(o));
    return MMSYSERR_NOERROR;
  }

  std::mutex mutex_;
  bool alsa_refused_ = false;
  std::unique_ptr<Output> alsa_;
  JackLister jack_;
};

}  // namespace

std::unique_ptr<DeviceProvider> CreateRtMidiProvider() {
  return std::make_unique<RtMidiProvider>();
}

}  // namespace qb::detail
