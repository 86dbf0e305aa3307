#include "midi/sessionservice.h"

#include <algorithm>
#include <cstring>

namespace qb::detail {

MIDIOUTCAPS MakeCaps(const std::string& name, std::uint16_t technology) {
  MIDIOUTCAPS caps{};
  // Cut at 31 bytes, but never inside a UTF-8 sequence.
  std::size_t n = std::min<std::size_t>(name.size(), sizeof(caps.szPname) - 1);
  if (n < name.size()) {
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(caps.szPname, name.data(), n);
  caps.vDriverVersion = 0x0500;
  caps.wTechnology = technology;
  caps.wChannelMask = 0xFFFF;
  return caps;
}

MMRESULT CheckHeader(const MIDIHDR* hdr, std::uint32_t size) {
  if (!hdr || size < sizeof(MIDIHDR) || !hdr->lpData || hdr->dwBufferLength == 0) {
    return MMSYSERR_INVALPARAM;
  }
  return MMSYSERR_NOERROR;
}

Session::Session(HMIDIOUT handle, std::unique_ptr<OutputDevice> device, MidiOutCallback callback,
                 DWORD_PTR instance)
    : handle_(handle),
      device_(std::move(device)),
      callback_(callback),
      instance_(instance),
      worker_([this] { Run(); }) {}

Session::~Session() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  std::lock_guard lock(send_mutex_);
  device_.reset();
}

MMRESULT Session::Short(std::uint32_t packed) {
  std::uint8_t bytes[3] = {static_cast<std::uint8_t>(packed),
                           static_cast<std::uint8_t>(packed >> 8),
                           static_cast<std::uint8_t>(packed >> 16)};
  int data = ShortMessageDataBytes(bytes[0]);
  if (data < 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(send_mutex_);
  return device_->Send(bytes, 1 + static_cast<std::size_t>(data));
}

MMRESULT Session::Prepare(MIDIHDR* hdr) {
  std::lock_guard lock(mutex_);
  hdr->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT Session::Long(MIDIHDR* hdr) {
  {
    std::lock_guard lock(mutex_);
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    queue_.push_back(hdr);
    ++pending_;
  }
  wake_.notify_one();
  return MMSYSERR_NOERROR;
}

MMRESULT Session::Unprepare(MIDIHDR* hdr) {
  std::lock_guard lock(mutex_);
  if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  hdr->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

bool Session::Busy() {
  std::lock_guard lock(mutex_);
  return pending_ > 0;
}

void Session::Reset() {
  std::deque<MIDIHDR*> returned;
  {
    std::lock_guard lock(mutex_);
    returned.swap(queue_);
    for (MIDIHDR* hdr : returned) hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }
  for (MIDIHDR* hdr : returned) {
    callback_(handle_, MM_MOM_DONE, instance_, reinterpret_cast<DWORD_PTR>(hdr), 0);
  }
  std::unique_lock lock(mutex_);
  pending_ -= returned.size();
  idle_.wait(lock, [this] { return pending_ == 0; });
}

void Session::Run() {
  for (;;) {
    MIDIHDR* hdr = nullptr;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      hdr = queue_.front();
      queue_.pop_front();
    }
    {
      // A message the device refuses is still given back as done: it cannot be played later.
      std::lock_guard lock(send_mutex_);
      device_->Send(hdr->lpData, hdr->dwBufferLength);
    }
    {
      std::lock_guard lock(mutex_);
      hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    callback_(handle_, MM_MOM_DONE, instance_, reinterpret_cast<DWORD_PTR>(hdr), 0);
    {
      std::lock_guard lock(mutex_);
      --pending_;
    }
    idle_.notify_all();
  }
}

SessionMidiService::SessionMidiService(std::vector<std::unique_ptr<DeviceProvider>> providers)
    : providers_(std::move(providers)) {}

SessionMidiService::~SessionMidiService() {
  for (auto& [handle, session] : sessions_) session->Reset();
  sessions_.clear();
  providers_.clear();
}

std::vector<DeviceEntry> SessionMidiService::Devices() {
  std::vector<DeviceEntry> all;
  for (auto& p : providers_) {
    auto list = p->Devices();
    for (auto& e : list) all.push_back(std::move(e));
  }
  return all;
}

MMRESULT SessionMidiService::Find(std::int32_t id, DeviceEntry& entry) {
  if (id == MIDI_MAPPER) id = 0;
  if (id < 0) return MMSYSERR_BADDEVICEID;
  auto all = Devices();
  if (static_cast<std::size_t>(id) >= all.size()) return MMSYSERR_BADDEVICEID;
  entry = std::move(all[static_cast<std::size_t>(id)]);
  return MMSYSERR_NOERROR;
}

Session* SessionMidiService::Lookup(HMIDIOUT handle) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(handle);
  return it == sessions_.end() ? nullptr : it->second.get();
}

std::uint32_t SessionMidiService::GetNumDevs() {
  return static_cast<std::uint32_t>(Devices().size());
}

MMRESULT SessionMidiService::GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) {
  DeviceEntry entry;
  MMRESULT r = Find(id, entry);
  if (r == MMSYSERR_NOERROR) caps = entry.caps;
  return r;
}

MMRESULT SessionMidiService::Open(HMIDIOUT& handle, std::int32_t id, MidiOutCallback callback,
                                  DWORD_PTR instance, std::uint32_t flags) {
  if (flags != CALLBACK_FUNCTION || !callback) return MMSYSERR_INVALFLAG;
  DeviceEntry entry;
  MMRESULT r = Find(id, entry);
  if (r != MMSYSERR_NOERROR) return r;
  std::unique_ptr<OutputDevice> device;
  r = entry.open(device);
  if (r != MMSYSERR_NOERROR) return r;
  Session* session;
  {
    std::lock_guard lock(mutex_);
    handle = next_++;
    auto s = std::make_unique<Session>(handle, std::move(device), callback, instance);
    session = s.get();
    sessions_.emplace(handle, std::move(s));
  }
  session->Notify(MM_MOM_OPEN);
  return MMSYSERR_NOERROR;
}

MMRESULT SessionMidiService::Close(HMIDIOUT handle) {
  std::unique_ptr<Session> doomed;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return MMSYSERR_INVALHANDLE;
    if (it->second->Busy()) return MIDIERR_STILLPLAYING;
    doomed = std::move(it->second);
    sessions_.erase(it);
  }
  doomed->Notify(MM_MOM_CLOSE);
  return MMSYSERR_NOERROR;
}

MMRESULT SessionMidiService::ShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  Session* s = Lookup(handle);
  return s ? s->Short(packed) : MMSYSERR_INVALHANDLE;
}

MMRESULT SessionMidiService::PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  Session* s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Prepare(hdr);
}

MMRESULT SessionMidiService::LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  Session* s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Long(hdr);
}

MMRESULT SessionMidiService::UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  Session* s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Unprepare(hdr);
}

MMRESULT SessionMidiService::Reset(HMIDIOUT handle) {
  Session* s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  s->Reset();
  return MMSYSERR_NOERROR;
}

}  // namespace qb::detail
