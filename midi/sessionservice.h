// A MIDI service over the devices of one or more MIDI systems (providers). Every open device
// gets a session. A device that only queues what it is given (a JACK port) takes long messages
// within the call; others play them on the session's worker thread, which starts with the first
// one. When a MIDI system goes away its devices are gone: every send fails at once with
// MIDIERR_NODEVICE, queued long messages are given back, and Close succeeds. The service then
// waits for the system to come back and opens each gone device again by its whole name.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midiservice.h"

namespace qb::detail {

// One opened device: sends one complete message at a time.
class OutputDevice {
 public:
  virtual ~OutputDevice() = default;
  // Never blocks on a device that is gone; fails with MIDIERR_NODEVICE instead.
  virtual MMRESULT Send(const std::uint8_t* bytes, std::size_t length) = 0;
  // False from the moment the device's MIDI system went away; it stays false.
  virtual bool Alive() const { return true; }
  // True when Send only queues the bytes and never waits for the device; fixed for its life.
  virtual bool Queues() const { return false; }
  // A device that places messages at their time takes them up to LeadUs ahead (steady clock,
  // microseconds); one with no lead sends at once.
  virtual MMRESULT SendAt(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us) {
    (void)due_us;
    return Send(bytes, length);
  }
  virtual std::int64_t LeadUs() const { return 0; }
  // The connections of the device's port where its MIDI system tells them, else -1. Never
  // waits: a system that is busy may answer with what it counted last.
  virtual int Connections() { return -1; }
};

struct DeviceEntry {
  std::string name;  // whole, as the MIDI system's own tools show it
  std::uint16_t technology = MOD_MIDIPORT;
  bool own = false;  // the bridge's own port: only the first system's is listed
  std::function<MMRESULT(std::unique_ptr<OutputDevice>& device)> open;
};

// Lists the devices a MIDI system offers right now. Devices() may be called from any thread.
class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;
  virtual std::vector<DeviceEntry> Devices() = 0;
  // The provider calls changed (from any thread, never from a realtime one) when its system
  // went away or devices may have come back. Called once, before the first Devices().
  virtual void Watch(std::function<void()> changed) { (void)changed; }
  // Runs on the service's re-binding thread after each change the provider reported.
  virtual void Tend() {}
};

MIDIOUTCAPS MakeCaps(const std::string& name, std::uint16_t technology);

class Session {
 public:
  Session(HMIDIOUT handle, std::string name, std::unique_ptr<OutputDevice> device,
          MidiOutCallback callback, DWORD_PTR instance);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  MMRESULT Short(std::uint32_t packed);
  MMRESULT Timed(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us);
  std::int64_t LeadUs();
  int Connections();
  MMRESULT Prepare(MIDIHDR* hdr);
  MMRESULT Long(MIDIHDR* hdr);
  MMRESULT Unprepare(MIDIHDR* hdr);
  // Gives every queued long message back as done with this result and waits for the one
  // being played.
  void Reset(MMRESULT result = MMSYSERR_NOERROR);
  bool Busy();
  bool Gone();
  // Puts a newly opened device in the place of one that is gone.
  void Rebind(std::unique_ptr<OutputDevice> device);
  const std::string& Name() const { return name_; }
  void Notify(std::uint32_t msg) { callback_(handle_, msg, instance_, 0, 0); }

 private:
  void Run();
  void Done(MIDIHDR* hdr, MMRESULT result);
  MMRESULT SendLocked(const std::uint8_t* bytes, std::size_t length);

  const HMIDIOUT handle_;
  const std::string name_;
  const MidiOutCallback callback_;
  const DWORD_PTR instance_;

  std::mutex send_mutex_;    // every send; held to replace the device
  std::mutex device_mutex_;  // also held to replace it, so Gone() never waits for a send
  std::shared_ptr<OutputDevice> device_;
  std::atomic<bool> queues_;  // whether device_ only queues; a hint read without the locks
  std::mutex mutex_;          // the queue, the counts and the flags of queued headers
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<MIDIHDR*> queue_;
  std::size_t pending_ = 0;  // queued or being played, until its done notice has returned
  bool stop_ = false;
  std::thread worker_;  // started with the first long message the device cannot take at once
};

// Its operations are called from one thread (the user-interface thread); the sessions' workers
// and the re-binding thread run beside it.
class SessionMidiService : public MidiService {
 public:
  explicit SessionMidiService(std::vector<std::unique_ptr<DeviceProvider>> providers);
  ~SessionMidiService() override;

  std::uint32_t GetNumDevs() override;
  MMRESULT GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) override;
  MMRESULT GetDevFullName(std::int32_t id, std::string& name) override;
  MMRESULT Open(HMIDIOUT& handle, std::int32_t id, MidiOutCallback callback, DWORD_PTR instance,
                std::uint32_t flags) override;
  MMRESULT Close(HMIDIOUT handle) override;
  MMRESULT ShortMsg(HMIDIOUT handle, std::uint32_t packed) override;
  MMRESULT PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT Reset(HMIDIOUT handle) override;
  MMRESULT TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes, std::uint32_t length,
                    std::int64_t due_us) override;
  std::int64_t LeadUs(HMIDIOUT handle) override;
  int Connections(HMIDIOUT handle) override;
  bool Gone(HMIDIOUT handle) override;

  // How often the service looks for a MIDI system that went away (tests shorten it).
  void SetRebindInterval(std::chrono::milliseconds interval) { interval_ = interval; }

 private:
  struct Listed {
    std::vector<DeviceEntry> entries;  // names made unique
    std::vector<std::string> short_names;
  };
  Listed Devices();
  MMRESULT Find(std::int32_t id, DeviceEntry& entry, std::string* short_name = nullptr);
  Session* Lookup(HMIDIOUT handle);
  void Changed();
  void RebindLoop();

  std::vector<std::unique_ptr<DeviceProvider>> providers_;
  std::mutex mutex_;  // the sessions
  std::map<HMIDIOUT, std::shared_ptr<Session>> sessions_;
  HMIDIOUT next_ = 1;
  // What Lookup found last, on its thread only; handle 0 with no session when forgotten.
  HMIDIOUT last_handle_ = 0;
  Session* last_session_ = nullptr;
  void Forget() {
    last_handle_ = 0;
    last_session_ = nullptr;
  }

  std::mutex rebind_mutex_;
  std::condition_variable rebind_wake_;
  bool changed_ = false;
  bool stop_ = false;
  std::atomic<std::chrono::milliseconds> interval_{std::chrono::seconds(1)};
  std::thread rebinder_;
};

// Validates a long message header the way every backend does.
MMRESULT CheckHeader(const MIDIHDR* hdr, std::uint32_t size);

}  // namespace qb::detail
