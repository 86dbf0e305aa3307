// The MIDI systems the session service can list, each in its own file and library
// (quillbox_midi_backends); the program chooses which ones it uses.
#pragma once

#include <cstdio>
#include <memory>

#include "midi/sessionservice.h"

namespace qb::detail {

// The ALSA sequencer through RtMidi: our own port "quillbox", then the writable ports. Lists
// nothing where there is no sequencer.
std::unique_ptr<DeviceProvider> CreateAlsaProvider();
// A JACK server through one client of ours: our own port "quillbox", then the MIDI inputs.
// Lists nothing while no server runs; never starts one.
std::unique_ptr<DeviceProvider> CreateJackProvider();
// "quillbox monitor (stdout)": every message as one line of upper-case hex bytes on out.
std::unique_ptr<DeviceProvider> CreateMonitorProvider(std::FILE* out);

}  // namespace qb::detail
