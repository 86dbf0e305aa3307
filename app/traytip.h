// The tray icon's tooltip: "quillbox", then one line with the bridge's state at a glance, then
// Link's peers while Link is on. Warnings lead the state line:
//   quillbox
//   UDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox (2) · 128.0 BPM
//   OSC silent 12 s (from 192.168.1.20) · UDP 10001 · MIDI quillbox (2)
//   MIDI device gone: Synth A · UDP 10001 · no OSC yet
//   not listening on UDP 10001 · MIDI quillbox
// The tray keeps 127 bytes of the tip: the device's name is shortened with an ellipsis before
// any other fact is cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qb {

struct TrayFacts {
  bool listening = false;   // UDP port 10001 is bound
  std::string sender;       // where the last datagram came from; empty before the first
  std::int64_t age_ms = 0;  // since the last datagram
  std::string midi;         // the selected device's name (UTF-8); empty with no device
  int connections = -1;     // the device's connections; -1 where its MIDI system does not tell
  bool midi_gone = false;   // closed, failed to open, or its MIDI system went away
  double tempo_bpm = 0;     // the beat clock's estimate; 0 while stopped
  std::string link;         // Link's peers ("2 peers"); empty while Link is off
};

inline constexpr std::size_t kTrayTipBytes = 127;
// OSC that has come before and then stays away this long is a warning.
inline constexpr std::int64_t kOscSilentMs = 5000;

std::string TrayTip(const TrayFacts& facts);

}  // namespace qb
