// A scripted MIDI service for tests: named devices, failures on demand with any code, a record
// of every message, and long messages completed on a service thread when the test says so.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "midi/midiservice.h"

namespace qb {

class FakeMidiService : public MidiService {
 public:
  enum class Op { Caps, Open, Close, Short, Prepare, Long, Unprepare, Reset, Timed };

  struct ShortMessage {
    std::int32_t device;
    std::uint32_t packed;                      // the value as handed over
    std::vector<std::uint8_t> bytes;           // what a device receives: status and its data bytes
    std::chrono::steady_clock::time_point at;  // when the port handed it over
  };
  struct LongMessage {
    std::int32_t device;
    std::vector<std::uint8_t> bytes;           // read from the header when the device plays it
    std::chrono::steady_clock::time_point at;  // when the port handed it over (LongMsg)
  };
  struct TimedMessage {
    std::int32_t device;
    std::vector<std::uint8_t> bytes;
    std::int64_t due_us;                       // the time it was meant for
    std::chrono::steady_clock::time_point at;  // when the port handed it over
  };
  struct UnprepareCall {
    HMIDIOUT handle;
    MIDIHDR* header;
    MMRESULT result;
  };

  FakeMidiService();
  ~FakeMidiService() override;

  // Devices. Numbers count from 0 in the order added; removing one moves later ones down.
  std::int32_t AddDevice(const std::string& name);
  void RemoveDevice(std::int32_t id);
  void ClearDevices();
  MIDIOUTCAPS& Capabilities(std::int32_t id);

  // Every later call of op returns code (0 makes it succeed again).
  void FailWith(Op op, MMRESULT code);
  // Capabilities of one device number (-1 included) fail with code; 0 clears.
  void FailCapsOf(std::int32_t id, MMRESULT code);
  // The text GetErrorText gives for a code (overrides the built-in one).
  void SetErrorText(MMRESULT code, const std::string& text);

  // Plays queued long messages, oldest first, on a separate thread and waits for it; each ends
  // with MM_MOM_DONE through the callback. Returns how many were completed.
  std::size_t CompleteLongMessages(std::size_t max = std::numeric_limits<std::size_t>::max());
  // Plays the queued message at this queue position only (0 is the oldest).
  bool CompleteLongMessageAt(std::size_t position);
  // Completes each long message at once (on a separate thread) as it is queued.
  void SetAutoComplete(bool on);
  // Whether Open and Close pass MM_MOM_OPEN / MM_MOM_CLOSE to the callback (default on).
  void SetOpenCloseNotices(bool on);
  // Calls the callback of an open handle as the service's thread would.
  bool DeliverNotice(HMIDIOUT handle, std::uint32_t msg, DWORD_PTR param1);

  std::vector<ShortMessage> ShortMessages() const;
  std::vector<LongMessage> LongMessages() const;
  std::vector<TimedMessage> TimedMessages() const;
  // The lead the devices ask for timed messages (0: they are handed over when due).
  void SetLeadUs(std::int64_t lead) { lead_us_ = lead; }
  // What Connections and Gone say of a device number's handles (default: -1, not gone).
  void SetConnections(std::int32_t id, int connections);
  void SetGone(std::int32_t id, bool gone);
  std::vector<UnprepareCall> UnprepareCalls() const;
  std::vector<MIDIHDR*> QueuedHeaders() const;
  std::size_t QueuedLongMessages() const;
  int OpenCount(std::int32_t id) const;
  int CloseCount(std::int32_t id) const;
  // Every call but GetNumDevs, GetDevCaps, GetErrorText and the glances (Connections, Gone).
  int ServiceCalls() const;
  bool IsOpenHandle(HMIDIOUT handle) const;
  DWORD_PTR InstanceOf(HMIDIOUT handle) const;

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
  MMRESULT GetErrorText(MMRESULT code, char* text, std::uint32_t size) override;
  MMRESULT TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes, std::uint32_t length,
                    std::int64_t due_us) override;
  std::int64_t LeadUs(HMIDIOUT handle) override;
  int Connections(HMIDIOUT handle) override;
  bool Gone(HMIDIOUT handle) override;

 private:
  struct Handle {
    std::int32_t device;
    MidiOutCallback callback;
    DWORD_PTR instance;
  };
  struct Queued {
    HMIDIOUT handle;
    MIDIHDR* header;
    std::chrono::steady_clock::time_point at;
  };
  MMRESULT Failure(Op op) const;
  void Play(const std::vector<Queued>& items);

  mutable std::mutex mutex_;
  std::vector<MIDIOUTCAPS> devices_;
  std::map<Op, MMRESULT> failures_;
  std::map<std::int32_t, MMRESULT> caps_failures_;
  std::map<MMRESULT, std::string> texts_;
  std::map<HMIDIOUT, Handle> handles_;
  HMIDIOUT next_ = 1;
  std::vector<Queued> queue_;
  bool auto_complete_ = false;
  bool open_close_notices_ = true;
  std::vector<ShortMessage> shorts_;
  std::vector<LongMessage> longs_;
  std::vector<TimedMessage> timed_;
  std::atomic<std::int64_t> lead_us_{0};
  std::map<std::int32_t, int> connections_;
  std::map<std::int32_t, bool> gone_;
  std::vector<UnprepareCall> unprepares_;
  std::map<std::int32_t, int> opens_;
  std::map<std::int32_t, int> closes_;
  int calls_ = 0;
};

}  // namespace qb
