#include "midi/sessionservice.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "midi/devicenames.h"

namespace qb::detail {

MIDIOUTCAPS MakeCaps(const std::string& name, std::uint16_t technology) {
  MIDIOUTCAPS caps{};
  std::memcpy(caps.szPname, name.data(), std::min(name.size(), sizeof(caps.szPname) - 1));
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

// ---- Session

Session::Session(HMIDIOUT handle, std::string name, std::unique_ptr<OutputDevice> device,
                 MidiOutCallback callback, DWORD_PTR instance)
    : handle_(handle),
      name_(std::move(name)),
      callback_(callback),
      instance_(instance),
      device_(std::move(device)),
      queues_(device_ && device_->Queues()) {}

Session::~Session() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  std::lock_guard send(send_mutex_);
  std::lock_guard lock(device_mutex_);
  device_.reset();
}

MMRESULT Session::SendLocked(const std::uint8_t* bytes, std::size_t length) {
  if (!device_ || !device_->Alive()) return MIDIERR_NODEVICE;
  return device_->Send(bytes, length);
}

MMRESULT Session::Short(std::uint32_t packed) {
  std::uint8_t bytes[3] = {static_cast<std::uint8_t>(packed),
                           static_cast<std::uint8_t>(packed >> 8),
                           static_cast<std::uint8_t>(packed >> 16)};
  int data = ShortMessageDataBytes(bytes[0]);
  if (data < 0) return MMSYSERR_INVALPARAM;
  if (Gone()) return MIDIERR_NODEVICE;  // without waiting for a send under way
  std::lock_guard lock(send_mutex_);
  return SendLocked(bytes, 1 + static_cast<std::size_t>(data));
}

MMRESULT Session::Timed(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us) {
  if (length == 0 || length > kMaxTimedBytes) return MMSYSERR_INVALPARAM;
  if (Gone()) return MIDIERR_NODEVICE;
  std::lock_guard lock(send_mutex_);
  if (!device_ || !device_->Alive()) return MIDIERR_NODEVICE;
  return device_->SendAt(bytes, length, due_us);
}

std::int64_t Session::LeadUs() {
  std::lock_guard lock(device_mutex_);
  return device_ && device_->Alive() ? device_->LeadUs() : 0;
}

int Session::Connections() {
  std::shared_ptr<OutputDevice> device;
  {
    std::lock_guard lock(device_mutex_);
    device = device_;
  }
  return device && device->Alive() ? device->Connections() : -1;
}

MMRESULT Session::Prepare(MIDIHDR* hdr) {
  std::lock_guard lock(mutex_);
  hdr->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

void Session::Done(MIDIHDR* hdr, MMRESULT result) {
  {
    std::lock_guard lock(mutex_);
    hdr->dwReserved[kPlayResult] = result;
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }
  callback_(handle_, MM_MOM_DONE, instance_, reinterpret_cast<DWORD_PTR>(hdr), 0);
}

MMRESULT Session::Long(MIDIHDR* hdr) {
  // A device that only queues is sent to within the call: no thread wake, and the order with
  // short messages holds. The device changes only under the send lock, so no copy of it is
  // needed here. Other devices never take the send lock on this path: a slow device holds up
  // the worker, never the caller.
  if (queues_.load(std::memory_order_relaxed)) {
    std::lock_guard send(send_mutex_);
    std::unique_lock lock(mutex_);
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (!device_ || !device_->Alive()) return MIDIERR_NODEVICE;
    // With messages still queued for the worker this one goes behind them. Taken within the
    // call, it needs no done notice: the caller has it back at once.
    if (device_->Queues() && queue_.empty()) {
      const MMRESULT r = device_->Send(hdr->lpData, hdr->dwBufferLength);
      if (r != MMSYSERR_NOERROR) return r;
      hdr->dwReserved[kPlayResult] = MMSYSERR_NOERROR;
      hdr->dwReserved[kTakenInCall] = 1;
      hdr->dwFlags |= MHDR_DONE;
      return MMSYSERR_NOERROR;
    }
  }
  {
    std::lock_guard lock(mutex_);
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  }
  if (Gone()) return MIDIERR_NODEVICE;
  {
    std::lock_guard lock(mutex_);
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    queue_.push_back(hdr);
    ++pending_;
    if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
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

bool Session::Gone() {
  std::shared_ptr<OutputDevice> device;
  {
    std::lock_guard lock(device_mutex_);
    device = device_;
  }
  return !device || !device->Alive();
}

void Session::Rebind(std::unique_ptr<OutputDevice> device) {
  std::shared_ptr<OutputDevice> old;
  {
    std::lock_guard send(send_mutex_);
    std::lock_guard lock(device_mutex_);
    old = std::move(device_);
    device_ = std::move(device);
    queues_ = device_ && device_->Queues();
  }
  // The gone device is released outside the locks: senders fail fast meanwhile, never wait.
}

void Session::Reset(MMRESULT result) {
  std::deque<MIDIHDR*> returned;
  {
    std::lock_guard lock(mutex_);
    returned.swap(queue_);
  }
  for (MIDIHDR* hdr : returned) Done(hdr, result);
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
    MMRESULT result;
    {
      std::lock_guard lock(send_mutex_);
      result = SendLocked(hdr->lpData, hdr->dwBufferLength);
    }
    // A refused message is given back too, with its result: it cannot be played later.
    Done(hdr, result);
    {
      std::lock_guard lock(mutex_);
      --pending_;
    }
    idle_.notify_all();
  }
}

// ---- Service

SessionMidiService::SessionMidiService(std::vector<std::unique_ptr<DeviceProvider>> providers)
    : providers_(std::move(providers)) {
  for (auto& p : providers_) p->Watch([this] { Changed(); });
}

SessionMidiService::~SessionMidiService() {
  {
    std::lock_guard lock(rebind_mutex_);
    stop_ = true;
  }
  rebind_wake_.notify_all();
  if (rebinder_.joinable()) rebinder_.join();
  for (auto& [handle, session] : sessions_) session->Reset();
  sessions_.clear();
  Forget();
  providers_.clear();
}

SessionMidiService::Listed SessionMidiService::Devices() {
  Listed listed;
  bool own = false;
  for (auto& p : providers_) {
    for (auto& e : p->Devices()) {
      if (e.own && std::exchange(own, true)) continue;
      listed.entries.push_back(std::move(e));
    }
  }
  std::vector<std::string> names;
  for (auto& e : listed.entries) names.push_back(e.name);
  DeviceNames made = MakeDeviceNames(names);
  for (std::size_t i = 0; i < listed.entries.size(); ++i) listed.entries[i].name = made.full[i];
  listed.short_names = std::move(made.short_);
  return listed;
}

MMRESULT SessionMidiService::Find(std::int32_t id, DeviceEntry& entry, std::string* short_name) {
  if (id == MIDI_MAPPER) id = 0;
  if (id < 0) return MMSYSERR_BADDEVICEID;
  Listed all = Devices();
  const auto i = static_cast<std::size_t>(id);
  if (i >= all.entries.size()) return MMSYSERR_BADDEVICEID;
  entry = std::move(all.entries[i]);
  if (short_name) *short_name = std::move(all.short_names[i]);
  return MMSYSERR_NOERROR;
}

// Sessions are added and removed only by the service's operations, all on one thread, which is
// the one asking here; the re-binding thread only reads. So no lock, and no copy: the session
// stays listed until that thread closes it.
Session* SessionMidiService::Lookup(HMIDIOUT handle) {
  // A message takes three operations on one port: the last one found is asked first. Handle 0
  // (what a closed port asks with) is never found: forgotten, it stands for no session.
  if (handle == last_handle_) return last_session_;
  auto it = sessions_.find(handle);
  if (it == sessions_.end()) return nullptr;
  last_handle_ = handle;
  last_session_ = it->second.get();
  return last_session_;
}

std::uint32_t SessionMidiService::GetNumDevs() {
  return static_cast<std::uint32_t>(Devices().entries.size());
}

MMRESULT SessionMidiService::GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) {
  DeviceEntry entry;
  std::string short_name;
  MMRESULT r = Find(id, entry, &short_name);
  if (r == MMSYSERR_NOERROR) caps = MakeCaps(short_name, entry.technology);
  return r;
}

MMRESULT SessionMidiService::GetDevFullName(std::int32_t id, std::string& name) {
  DeviceEntry entry;
  MMRESULT r = Find(id, entry);
  if (r == MMSYSERR_NOERROR) name = entry.name;
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
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    handle = next_++;
    session = std::make_shared<Session>(handle, entry.name, std::move(device), callback, instance);
    sessions_.emplace(handle, session);
  }
  session->Notify(MM_MOM_OPEN);
  return MMSYSERR_NOERROR;
}

MMRESULT SessionMidiService::Close(HMIDIOUT handle) {
  std::shared_ptr<Session> doomed;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return MMSYSERR_INVALHANDLE;
    doomed = it->second;
  }
  // Messages queued for a device that is gone can never be played: they go back at once.
  if (doomed->Gone()) doomed->Reset(MIDIERR_NODEVICE);
  if (doomed->Busy()) return MIDIERR_STILLPLAYING;
  {
    std::lock_guard lock(mutex_);
    sessions_.erase(handle);
    if (handle == last_handle_) Forget();
  }
  doomed->Notify(MM_MOM_CLOSE);
  return MMSYSERR_NOERROR;
}

MMRESULT SessionMidiService::ShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  auto s = Lookup(handle);
  return s ? s->Short(packed) : MMSYSERR_INVALHANDLE;
}

MMRESULT SessionMidiService::TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes,
                                      std::uint32_t length, std::int64_t due_us) {
  auto s = Lookup(handle);
  return s ? s->Timed(bytes, length, due_us) : MMSYSERR_INVALHANDLE;
}

std::int64_t SessionMidiService::LeadUs(HMIDIOUT handle) {
  auto s = Lookup(handle);
  return s ? s->LeadUs() : 0;
}

int SessionMidiService::Connections(HMIDIOUT handle) {
  auto s = Lookup(handle);
  return s ? s->Connections() : -1;
}

bool SessionMidiService::Gone(HMIDIOUT handle) {
  auto s = Lookup(handle);
  return !s || s->Gone();
}

MMRESULT SessionMidiService::PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  auto s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Prepare(hdr);
}

MMRESULT SessionMidiService::LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  auto s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Long(hdr);
}

MMRESULT SessionMidiService::UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  auto s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = CheckHeader(hdr, size);
  return r ? r : s->Unprepare(hdr);
}

MMRESULT SessionMidiService::Reset(HMIDIOUT handle) {
  auto s = Lookup(handle);
  if (!s) return MMSYSERR_INVALHANDLE;
  s->Reset();
  return MMSYSERR_NOERROR;
}

// ---- Re-binding

void SessionMidiService::Changed() {
  {
    std::lock_guard lock(rebind_mutex_);
    if (stop_) return;
    changed_ = true;
    if (!rebinder_.joinable()) rebinder_ = std::thread([this] { RebindLoop(); });
  }
  rebind_wake_.notify_all();
}

// Sleeps until a system reports a change. While a session's device is gone it also looks once
// an interval, as a returning system may announce nothing (a JACK server cannot).
void SessionMidiService::RebindLoop() {
  bool waiting = true;
  for (;;) {
    {
      std::unique_lock lock(rebind_mutex_);
      auto ready = [this] { return stop_ || changed_; };
      if (waiting)
        rebind_wake_.wait_for(lock, interval_.load(), ready);
      else
        rebind_wake_.wait(lock, ready);
      if (stop_) return;
      changed_ = false;
    }
    std::vector<std::shared_ptr<Session>> gone;
    {
      std::lock_guard lock(mutex_);
      for (auto& [handle, session] : sessions_)
        if (session->Gone()) gone.push_back(session);
    }
    if (!gone.empty()) {
      Listed listed = Devices();
      for (auto& session : gone) {
        for (auto& entry : listed.entries) {
          if (entry.name != session->Name()) continue;
          std::unique_ptr<OutputDevice> device;
          if (entry.open(device) == MMSYSERR_NOERROR) session->Rebind(std::move(device));
          break;
        }
      }
    }
    waiting = false;
    for (auto& session : gone) waiting |= session->Gone();
    // After the re-binding, so that a device back under its session gets its connections.
    for (auto& p : providers_) p->Tend();
  }
}

}  // namespace qb::detail
