// The MIDI output port: chooses a device by number or name, opens and closes it, sends short
// messages at once and long messages asynchronously, and raises Onmidioutput on the port's own
// thread (the one that made it: the engine's) for every long message the device has finished.
// A message that a device only queues is finished within its send.
//
// Choices where the classic behaviour would hurt the user:
// - Open on an open port keeps the device and returns true (no second, forgotten handle).
// - Open opens the selected device only: when the number now names another device (one before
//   it has gone), it fails with MIDIERR_NODEVICE.
// - A long message of length 0 is refused with MMSYSERR_INVALPARAM before anything is allocated.
// - A long message whose preparation or sending fails is unprepared (when prepared) and freed.
// - The port keeps every long message it has sent until its done notice is handled; a notice
//   for a header it does not hold is ignored, and leftovers are freed at destruction.
// - A long message the device refused is given back through the completion path like any
//   other: its memory is released, its result goes to LastResult and HandleNotify raises it
//   instead of raising Onmidioutput.
// - The destructor never throws: when Close fails it takes the queued messages back from the
//   device (Reset), closes it regardless and releases everything.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "midi/midiservice.h"
#include "platform/component.h"
#include "platform/errors.h"
#include "platform/messages.h"

namespace qb {

class EmidioutputError : public Exception {
 public:
  using Exception::Exception;
};

struct TOutputEvent {
  std::uint8_t Status;
  std::uint8_t Data1;
  std::uint8_t Data2;
  std::uint16_t LongLength;
  const std::uint8_t* LongData;  // nullptr for a short message
};

using HGLOBAL = std::uintptr_t;

// Zero-filled memory that stays at one address until it is freed; nullptr when none is left.
void* AllocSharedLocked(std::uint16_t size, HGLOBAL& handle);
void FreeSharedLocked(HGLOBAL handle, void* address);
// Blocks handed out by AllocSharedLocked and not yet freed, in the whole process.
std::size_t SharedLockedBlocks();

// The instance data the device callback receives.
struct TCallbackBlock {
  HGLOBAL MemoryHandle;
  HWND NotifyWindow;
};

// One long message: a zero-filled header and the port's own copy of the bytes.
class TMyMidiHdr : public TObject {
 public:
  explicit TMyMidiHdr(std::uint16_t length);
  // Wrappers come from the same blocks as their memory.
  static void* operator new(std::size_t size);
  static void operator delete(void* p);
  ~TMyMidiHdr() override;
  TMyMidiHdr(const TMyMidiHdr&) = delete;
  TMyMidiHdr& operator=(const TMyMidiHdr&) = delete;

  HGLOBAL HeaderHandle = 0;
  MIDIHDR* Header = nullptr;
  HGLOBAL DataHandle = 0;
  std::uint8_t* Data = nullptr;
};

enum class TMidiOutPortState { MidiOutOpen, MidiOutClosed };

class TMidiOutput : public TComponent {
 public:
  // The port keeps the service current at its construction (CurrentMidiService) for its life.
  explicit TMidiOutput(TComponent* owner);
  ~TMidiOutput() override;

  std::int32_t DeviceID() const { return FDeviceID; }
  void SetDeviceID(std::int32_t v);
  const std::string& ProductName() const { return FProductName; }
  // The selected device's whole name, which ProductName may abbreviate; Open matches by it.
  const std::string& FullName() const { return FFullName; }
  void SetProductName(const std::string& s);

  std::uint16_t DeviceCount() const { return FDeviceCount; }
  std::uint32_t LastResult() const { return FLastResult; }
  bool IsOpen() const { return FPortState == TMidiOutPortState::MidiOutOpen; }
  TMidiOutPortState PortState() const { return FPortState; }
  HMIDIOUT OutputHandle() const { return FOutputHandle; }
  HWND NotifyWindow() const { return FNotifyWindow; }
  const TCallbackBlock* CallbackBlock() const { return FCallbackBlock; }

  std::uint32_t DeviceDriverVersion() const { return FDeviceDriverVersion; }
  std::uint8_t DeviceTechnology() const { return FDeviceTechnology; }
  std::uint16_t DeviceVoices() const { return FDeviceVoices; }
  std::uint16_t DeviceNotes() const { return FDeviceNotes; }
  std::uint16_t DeviceChannelMask() const { return FDeviceChannelMask; }
  std::uint32_t DeviceSupport() const { return FDeviceSupport; }

  // Long messages sent and not yet released.
  std::size_t PendingLongMessages() const { return FPending.size(); }

  // Never raises: a failure shows in the result and in LastResult. Opening an open port
  // keeps the device and returns true.
  virtual bool Open();
  virtual bool Close();
  virtual void SendEvent(const TOutputEvent& event);
  virtual void SendShortMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  virtual void SendLongMessage(const std::uint8_t* data, std::uint16_t length);
  // A message of the sync streams, to leave at due_us on the steady clock: a device that places
  // messages in time takes it up to LeadUs ahead, any other is handed it when it is due (the
  // caller's part). Raises as SendShortMessage does.
  void SendTimed(const std::uint8_t* data, std::uint16_t length, std::int64_t due_us);
  std::int64_t LeadUs();
  // The open device's connections where its MIDI system tells them, else -1; for a glance now
  // and then, not per message.
  int Connections();
  // No device to send to: the port is closed (or failed to open), or the device's MIDI system
  // went away.
  bool DeviceGone();

  std::string ResultText(std::uint16_t code);

  // Runs on a thread of the service: posts a done notice to the port's window, nothing else.
  static void DeviceCallback(HMIDIOUT handle, std::uint32_t msg, DWORD_PTR instance,
                             DWORD_PTR param1, DWORD_PTR param2);

  TNotifyEvent Onmidioutput;

 protected:
  LRESULT HandleNotify(UINT msg, WPARAM wparam, LPARAM lparam);

 private:
  [[noreturn]] void RaiseResult(MMRESULT result);
  // The pending message at index is done: unprepared (Complete only), freed, announced.
  void Complete(std::size_t index);
  void Release(std::size_t index);
  void ReleaseCallbackBlock();

  MidiService& FService;
  HWND FNotifyWindow = kNoWindow;
  std::int32_t FDeviceID = 0;
  HMIDIOUT FOutputHandle = 0;
  TMidiOutPortState FPortState = TMidiOutPortState::MidiOutClosed;
  TCallbackBlock* FCallbackBlock = nullptr;
  std::uint32_t FLastResult = 0;
  std::uint32_t FDeviceDriverVersion = 0;
  std::string FProductName;
  std::string FFullName;
  std::uint8_t FDeviceTechnology = 0;
  std::uint16_t FDeviceVoices = 0;
  std::uint16_t FDeviceNotes = 0;
  std::uint16_t FDeviceChannelMask = 0;
  std::uint32_t FDeviceSupport = 0;
  std::uint16_t FDeviceCount = 0;
  // The port owns every long message from its send until its done notice is handled; a notice
  // for a header not listed here is not ours and is ignored.
  std::vector<std::pair<MIDIHDR*, TMyMidiHdr*>> FPending;
};

}  // namespace qb
