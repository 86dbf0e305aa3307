#include "midi/midiservice.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qb {

const char* MidiErrorText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The operation completed successfully";
    case MMSYSERR_ERROR:
      return "The MIDI system reported an unspecified error";
    case MMSYSERR_BADDEVICEID:
      return "The MIDI device number is out of range";
    case MMSYSERR_ALLOCATED:
      return "The MIDI device is already in use by another program";
    case MMSYSERR_INVALHANDLE:
      return "The MIDI device handle is invalid";
    case MMSYSERR_NODRIVER:
      return "No MIDI system is available";
    case MMSYSERR_NOMEM:
      return "Not enough memory for the MIDI operation";
    case MMSYSERR_NOTSUPPORTED:
      return "The MIDI device does not support this operation";
    case MMSYSERR_BADERRNUM:
      return "The error number is out of range";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to the MIDI system";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to the MIDI system";
    case MIDIERR_UNPREPARED:
      return "The MIDI message header was not prepared";
    case MIDIERR_STILLPLAYING:
      return "MIDI messages are still being played";
    case MIDIERR_NOTREADY:
      return "The MIDI device is busy";
    case MIDIERR_NODEVICE:
      return "MIDI device gone";
    default:
      return nullptr;
  }
}

MMRESULT CopyErrorText(const char* message, char* text, std::uint32_t size) {
  if (!text || size == 0) return MMSYSERR_INVALPARAM;
  if (!message) return MMSYSERR_BADERRNUM;
  std::size_t n = std::min<std::size_t>(std::strlen(message), size - 1);
  std::memcpy(text, message, n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

MMRESULT MidiService::GetErrorText(MMRESULT code, char* text, std::uint32_t size) {
  return CopyErrorText(MidiErrorText(code), text, size);
}

int ShortMessageDataBytes(std::uint8_t status) {
  if (status < 0x80 || status == 0xF0 || status == 0xF7) return -1;
  if (status >= 0xF8) return 0;
  if (status == 0xF1 || status == 0xF3) return 1;
  if (status >= 0xF4) return 0;  // tune request and the undefined 0xF4, 0xF5
  if (status >= 0xC0 && status <= 0xDF) return 1;
  return 2;
}

MMRESULT MidiService::GetDevFullName(std::int32_t id, std::string& name) {
  MIDIOUTCAPS caps{};
  const MMRESULT r = GetDevCaps(id, caps);
  if (r == MMSYSERR_NOERROR) name.assign(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
  return r;
}

// A service without timing sends what fits a short message at once.
MMRESULT MidiService::TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes, std::uint32_t length,
                               std::int64_t) {
  if (length == 0 || length > 3 || ShortMessageDataBytes(bytes[0]) != static_cast<int>(length) - 1)
    return MMSYSERR_NOTSUPPORTED;
  std::uint32_t packed = 0;
  for (std::uint32_t i = 0; i < length; ++i) packed |= std::uint32_t{bytes[i]} << (8 * i);
  return ShortMsg(handle, packed);
}

std::int64_t MidiService::LeadUs(HMIDIOUT) {
  return 0;
}

int MidiService::Connections(HMIDIOUT) {
  return -1;
}

bool MidiService::Gone(HMIDIOUT) {
  return false;
}

namespace {

// Until the program installs its backends, ports see a machine without MIDI devices.
class NoDevices : public MidiService {
 public:
  std::uint32_t GetNumDevs() override { return 0; }
  MMRESULT GetDevCaps(std::int32_t, MIDIOUTCAPS&) override { return MMSYSERR_BADDEVICEID; }
  MMRESULT Open(HMIDIOUT&, std::int32_t, MidiOutCallback, DWORD_PTR, std::uint32_t) override {
    return MMSYSERR_BADDEVICEID;
  }
  MMRESULT Close(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT ShortMsg(HMIDIOUT, std::uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT PrepareHeader(HMIDIOUT, MIDIHDR*, std::uint32_t) override {
    return MMSYSERR_INVALHANDLE;
  }
  MMRESULT LongMsg(HMIDIOUT, MIDIHDR*, std::uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT UnprepareHeader(HMIDIOUT, MIDIHDR*, std::uint32_t) override {
    return MMSYSERR_INVALHANDLE;
  }
  MMRESULT Reset(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
};

MidiService* g_installed = nullptr;

}  // namespace

MidiService& CurrentMidiService() {
  static NoDevices none;
  return g_installed ? *g_installed : none;
}

void SetMidiService(MidiService* service) {
  g_installed = service;
}

}  // namespace qb
