// The MIDI-out service the port talks to: device count and capabilities, open with a callback,
// close, short and long messages, and a text for every result code. Results are 0 on success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qb {

using MMRESULT = std::uint32_t;
using HMIDIOUT = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;

inline constexpr std::int32_t MIDI_MAPPER = -1;  // the default device

// Result codes, in the classic numbering so that each code means the same on every backend.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;

// Notices passed to the device callback.
inline constexpr std::uint32_t MM_MOM_OPEN = 0x3C7;
inline constexpr std::uint32_t MM_MOM_CLOSE = 0x3C8;
inline constexpr std::uint32_t MM_MOM_DONE = 0x3C9;

inline constexpr std::uint32_t CALLBACK_FUNCTION = 0x30000;

// Technology codes of the capabilities record.
inline constexpr std::uint16_t MOD_MIDIPORT = 1;
inline constexpr std::uint16_t MOD_SWSYNTH = 7;

// Header flags.
inline constexpr std::uint32_t MHDR_DONE = 1;
inline constexpr std::uint32_t MHDR_PREPARED = 2;
inline constexpr std::uint32_t MHDR_INQUEUE = 4;

struct MIDIOUTCAPS {
  std::uint16_t wMid;
  std::uint16_t wPid;
  std::uint32_t vDriverVersion;
  char szPname[32];  // NUL-terminated, at most 31 characters
  std::uint16_t wTechnology;
  std::uint16_t wVoices;
  std::uint16_t wNotes;
  std::uint16_t wChannelMask;
  std::uint32_t dwSupport;
};

// A long message handed to the service. The service owns it from LongMsg until it has passed
// MM_MOM_DONE with its address to the callback. Before that notice the service stores the
// outcome of playing it in dwReserved[kPlayResult]: 0 when the device took the bytes, otherwise
// the code the device refused them with. A device that only queues bytes takes the message
// within LongMsg instead: the service then sets dwReserved[kTakenInCall] to 1, passes no
// MM_MOM_DONE, and the header is the caller's again as soon as LongMsg returns.
struct MIDIHDR {
  std::uint8_t* lpData;
  std::uint32_t dwBufferLength;
  std::uint32_t dwBytesRecorded;
  DWORD_PTR dwUser;
  std::uint32_t dwFlags;
  MIDIHDR* lpNext;
  DWORD_PTR reserved;
  std::uint32_t dwOffset;
  DWORD_PTR dwReserved[4];
};
inline constexpr int kPlayResult = 0;
inline constexpr std::uint32_t kMaxTimedBytes = 16;
inline constexpr int kTakenInCall = 1;

// Runs on a service thread (done notices) or inside Open/Close (open and close notices).
using MidiOutCallback = void (*)(HMIDIOUT handle, std::uint32_t msg, DWORD_PTR instance,
                                 DWORD_PTR param1, DWORD_PTR param2);

class MidiService {
 public:
  virtual ~MidiService() = default;

  virtual std::uint32_t GetNumDevs() = 0;
  // id -1 is the default device (the first one).
  virtual MMRESULT GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) = 0;
  // The device's whole name, which the 31 bytes of szPname may only abbreviate; by default the
  // capabilities' name.
  virtual MMRESULT GetDevFullName(std::int32_t id, std::string& name);
  virtual MMRESULT Open(HMIDIOUT& handle, std::int32_t id, MidiOutCallback callback,
                        DWORD_PTR instance, std::uint32_t flags) = 0;
  // Fails with MIDIERR_STILLPLAYING while long messages are queued, except on a device that is
  // gone: its queued messages are given back done and it closes at once.
  virtual MMRESULT Close(HMIDIOUT handle) = 0;
  // Status in bits 0-7, data bytes in 8-15 and 16-23; as many data bytes go out as the status
  // takes. 0xF0 and 0xF7 and status bytes below 0x80 are refused with MMSYSERR_INVALPARAM.
  virtual MMRESULT ShortMsg(HMIDIOUT handle, std::uint32_t packed) = 0;
  virtual MMRESULT PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) = 0;
  virtual MMRESULT LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) = 0;
  virtual MMRESULT UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) = 0;
  // Gives every queued long message back as done (through the callback) and waits for the one
  // being played.
  virtual MMRESULT Reset(HMIDIOUT handle) = 0;
  // One complete message (at most kMaxTimedBytes) meant to leave at due_us on the steady clock.
  // A device that places messages in time (LeadUs above 0) takes it up to its lead ahead and
  // puts it at that time; any other device sends it at once, and the caller hands it over when
  // it is due. Never waits for the device.
  virtual MMRESULT TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes, std::uint32_t length,
                            std::int64_t due_us);
  // How far ahead of its time the device wants a timed message; 0 when it sends at once.
  virtual std::int64_t LeadUs(HMIDIOUT handle);
  // How many connections the device's port has, where its MIDI system tells: -1 otherwise.
  // Asked now and then (not per message); never waits for the device or its system.
  virtual int Connections(HMIDIOUT handle);
  // Whether the device's MIDI system went away: every send fails with MIDIERR_NODEVICE.
  virtual bool Gone(HMIDIOUT handle);
  // The text for a code, NUL-terminated and cut to size; MMSYSERR_BADERRNUM for an unknown code.
  virtual MMRESULT GetErrorText(MMRESULT code, char* text, std::uint32_t size);
};

// Our own English text for every code the services return; nullptr for an unknown code.
const char* MidiErrorText(MMRESULT code);
// Copies a text into a caller's buffer the way GetErrorText does.
MMRESULT CopyErrorText(const char* message, char* text, std::uint32_t size);

// Number of data bytes a short message with this status carries, or -1 when the status byte
// does not start a short message.
int ShortMessageDataBytes(std::uint8_t status);

// The service the ports use: the one installed, or one without devices. The program installs
// its backends at start (app/main.cpp).
MidiService& CurrentMidiService();
// Installs a service; nullptr returns to the one without devices. The caller keeps ownership.
void SetMidiService(MidiService* service);

inline constexpr const char* kVirtualPortName = "quillbox";
inline constexpr const char* kMonitorDeviceName = "quillbox monitor (stdout)";

}  // namespace qb
