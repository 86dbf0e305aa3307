// A MIDI service over lists of real devices: every open device gets a session whose worker
// thread plays its long messages in order and reports each one done through the callback.
#pragma once

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
  virtual MMRESULT Send(const std::uint8_t* bytes, std::size_t length) = 0;
};

struct DeviceEntry {
  MIDIOUTCAPS caps{};
  std::function<MMRESULT(std::unique_ptr<OutputDevice>& device)> open;
};

// Lists the devices a MIDI system offers right now.
class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;
  virtual std::vector<DeviceEntry> Devices() = 0;
};

MIDIOUTCAPS MakeCaps(const std::string& name, std::uint16_t technology);

class Session {
 public:
  Session(HMIDIOUT handle, std::unique_ptr<OutputDevice> device, MidiOutCallback callback,
          DWORD_PTR instance);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  MMRESULT Short(std::uint32_t packed);
  MMRESULT Prepare(MIDIHDR* hdr);
  MMRESULT Long(MIDIHDR* hdr);
  MMRESULT Unprepare(MIDIHDR* hdr);
  void Reset();
  bool Busy();
  void Notify(std::uint32_t msg) { callback_(handle_, msg, instance_, 0, 0); }

 private:
  void Run();

  const HMIDIOUT handle_;
  std::unique_ptr<OutputDevice> device_;
  const MidiOutCallback callback_;
  const DWORD_PTR instance_;

  std::mutex send_mutex_;  // short messages (caller's thread) and long ones (worker) share it
  std::mutex mutex_;       // guards the queue, the counts and the flags of queued headers
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<MIDIHDR*> queue_;
  std::size_t pending_ = 0;  // queued or being played, until its done notice has returned
  bool stop_ = false;
  std::thread worker_;
};

// Its operations are called from one thread (the user-interface thread); only the sessions'
// workers run elsewhere, and they touch nothing but their own session.
class SessionMidiService : public MidiService {
 public:
  explicit SessionMidiService(std::vector<std::unique_ptr<DeviceProvider>> providers);
  ~SessionMidiService() override;

  std::uint32_t GetNumDevs() override;
  MMRESULT GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) override;
  MMRESULT Open(HMIDIOUT& handle, std::int32_t id, MidiOutCallback callback, DWORD_PTR instance,
                std::uint32_t flags) override;
  MMRESULT Close(HMIDIOUT handle) override;
  MMRESULT ShortMsg(HMIDIOUT handle, std::uint32_t packed) override;
  MMRESULT PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) override;
  MMRESULT Reset(HMIDIOUT handle) override;

 private:
  std::vector<DeviceEntry> Devices();
  MMRESULT Find(std::int32_t id, DeviceEntry& entry);
  Session* Lookup(HMIDIOUT handle);

  std::vector<std::unique_ptr<DeviceProvider>> providers_;
  std::mutex mutex_;
  std::map<HMIDIOUT, std::unique_ptr<Session>> sessions_;
  HMIDIOUT next_ = 1;
};

std::unique_ptr<DeviceProvider> CreateRtMidiProvider();
std::unique_ptr<DeviceProvider> CreateMonitorProvider(std::FILE* out);

// Validates a long message header the way every backend does.
MMRESULT CheckHeader(const MIDIHDR* hdr, std::uint32_t size);

}  // namespace qb::detail
