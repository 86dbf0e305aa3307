#include "midi/fake/fakemidiservice.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace qb {

FakeMidiService::FakeMidiService() = default;
FakeMidiService::~FakeMidiService() = default;

std::int32_t FakeMidiService::AddDevice(const std::string& name) {
  std::lock_guard lock(mutex_);
  MIDIOUTCAPS caps{};
  std::strncpy(caps.szPname, name.c_str(), sizeof(caps.szPname) - 1);
  caps.wTechnology = MOD_MIDIPORT;
  caps.wChannelMask = 0xFFFF;
  devices_.push_back(caps);
  return static_cast<std::int32_t>(devices_.size() - 1);
}

void FakeMidiService::RemoveDevice(std::int32_t id) {
  std::lock_guard lock(mutex_);
  if (id >= 0 && static_cast<std::size_t>(id) < devices_.size())
    devices_.erase(devices_.begin() + id);
}

void FakeMidiService::ClearDevices() {
  std::lock_guard lock(mutex_);
  devices_.clear();
}

MIDIOUTCAPS& FakeMidiService::Capabilities(std::int32_t id) {
  std::lock_guard lock(mutex_);
  return devices_.at(static_cast<std::size_t>(id));
}

void FakeMidiService::FailWith(Op op, MMRESULT code) {
  std::lock_guard lock(mutex_);
  failures_[op] = code;
}

void FakeMidiService::FailCapsOf(std::int32_t id, MMRESULT code) {
  std::lock_guard lock(mutex_);
  caps_failures_[id] = code;
}

void FakeMidiService::SetErrorText(MMRESULT code, const std::string& text) {
  std::lock_guard lock(mutex_);
  texts_[code] = text;
}

MMRESULT FakeMidiService::Failure(Op op) const {
  auto it = failures_.find(op);
  return it == failures_.end() ? MMSYSERR_NOERROR : it->second;
}

void FakeMidiService::Play(const std::vector<Queued>& items) {
  if (items.empty()) return;
  // Done notices come from a thread of the service's, as on a real device.
  std::thread service([&] {
    for (const Queued& q : items) {
      Handle h;
      {
        std::lock_guard lock(mutex_);
        h = handles_.at(q.handle);
        longs_.push_back({h.device,
                          std::vector<std::uint8_t>(q.header->lpData,
                                                    q.header->lpData + q.header->dwBufferLength),
                          q.at});
        q.header->dwFlags = (q.header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
      }
      h.callback(q.handle, MM_MOM_DONE, h.instance, reinterpret_cast<DWORD_PTR>(q.header), 0);
    }
  });
  service.join();
}

std::size_t FakeMidiService::CompleteLongMessages(std::size_t max) {
  std::vector<Queued> items;
  {
    std::lock_guard lock(mutex_);
    std::size_t n = std::min(max, queue_.size());
    items.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  Play(items);
  return items.size();
}

bool FakeMidiService::CompleteLongMessageAt(std::size_t position) {
  std::vector<Queued> items;
  {
    std::lock_guard lock(mutex_);
    if (position >= queue_.size()) return false;
    items.push_back(queue_[position]);
    queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(position));
  }
  Play(items);
  return true;
}

void FakeMidiService::SetAutoComplete(bool on) {
  {
    std::lock_guard lock(mutex_);
    auto_complete_ = on;
  }
  if (on) CompleteLongMessages();
}

void FakeMidiService::SetOpenCloseNotices(bool on) {
  std::lock_guard lock(mutex_);
  open_close_notices_ = on;
}

bool FakeMidiService::DeliverNotice(HMIDIOUT handle, std::uint32_t msg, DWORD_PTR param1) {
  Handle h;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    h = it->second;
  }
  std::thread service([&] { h.callback(handle, msg, h.instance, param1, 0); });
  service.join();
  return true;
}

std::vector<FakeMidiService::TimedMessage> FakeMidiService::TimedMessages() const {
  std::lock_guard lock(mutex_);
  return timed_;
}

std::vector<FakeMidiService::ShortMessage> FakeMidiService::ShortMessages() const {
  std::lock_guard lock(mutex_);
  return shorts_;
}

std::vector<FakeMidiService::LongMessage> FakeMidiService::LongMessages() const {
  std::lock_guard lock(mutex_);
  return longs_;
}

std::vector<FakeMidiService::UnprepareCall> FakeMidiService::UnprepareCalls() const {
  std::lock_guard lock(mutex_);
  return unprepares_;
}

std::vector<MIDIHDR*> FakeMidiService::QueuedHeaders() const {
  std::lock_guard lock(mutex_);
  std::vector<MIDIHDR*> list;
  for (const Queued& q : queue_) list.push_back(q.header);
  return list;
}

std::size_t FakeMidiService::QueuedLongMessages() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

int FakeMidiService::OpenCount(std::int32_t id) const {
  std::lock_guard lock(mutex_);
  auto it = opens_.find(id);
  return it == opens_.end() ? 0 : it->second;
}

int FakeMidiService::CloseCount(std::int32_t id) const {
  std::lock_guard lock(mutex_);
  auto it = closes_.find(id);
  return it == closes_.end() ? 0 : it->second;
}

int FakeMidiService::ServiceCalls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool FakeMidiService::IsOpenHandle(HMIDIOUT handle) const {
  std::lock_guard lock(mutex_);
  return handles_.count(handle) != 0;
}

DWORD_PTR FakeMidiService::InstanceOf(HMIDIOUT handle) const {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? 0 : it->second.instance;
}

std::uint32_t FakeMidiService::GetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(devices_.size());
}

MMRESULT FakeMidiService::GetDevCaps(std::int32_t id, MIDIOUTCAPS& caps) {
  std::lock_guard lock(mutex_);
  if (MMRESULT f = Failure(Op::Caps)) return f;
  if (auto it = caps_failures_.find(id); it != caps_failures_.end() && it->second)
    return it->second;
  if (id == MIDI_MAPPER) id = 0;
  if (id < 0 || static_cast<std::size_t>(id) >= devices_.size()) return MMSYSERR_BADDEVICEID;
  caps = devices_[static_cast<std::size_t>(id)];
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::Open(HMIDIOUT& handle, std::int32_t id, MidiOutCallback callback,
                               DWORD_PTR instance, std::uint32_t flags) {
  Handle h;
  bool notices;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (MMRESULT f = Failure(Op::Open)) return f;
    if (flags != CALLBACK_FUNCTION || !callback) return MMSYSERR_INVALFLAG;
    if (id == MIDI_MAPPER) id = 0;
    if (id < 0 || static_cast<std::size_t>(id) >= devices_.size()) return MMSYSERR_BADDEVICEID;
    handle = next_++;
    h = Handle{id, callback, instance};
    handles_[handle] = h;
    ++opens_[id];
    notices = open_close_notices_;
  }
  if (notices) callback(handle, MM_MOM_OPEN, instance, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::Close(HMIDIOUT handle) {
  Handle h;
  bool notices;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (MMRESULT f = Failure(Op::Close)) return f;
    auto it = handles_.find(handle);
    if (it == handles_.end()) return MMSYSERR_INVALHANDLE;
    for (const Queued& q : queue_) {
      if (q.handle == handle) return MIDIERR_STILLPLAYING;
    }
    h = it->second;
    handles_.erase(it);
    ++closes_[h.device];
    notices = open_close_notices_;
  }
  if (notices) h.callback(handle, MM_MOM_CLOSE, h.instance, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::ShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  std::lock_guard lock(mutex_);
  ++calls_;
  if (MMRESULT f = Failure(Op::Short)) return f;
  auto it = handles_.find(handle);
  if (it == handles_.end()) return MMSYSERR_INVALHANDLE;
  const auto status = static_cast<std::uint8_t>(packed);
  int data = ShortMessageDataBytes(status);
  if (data < 0) return MMSYSERR_INVALPARAM;
  std::vector<std::uint8_t> bytes{status};
  if (data >= 1) bytes.push_back(static_cast<std::uint8_t>(packed >> 8));
  if (data >= 2) bytes.push_back(static_cast<std::uint8_t>(packed >> 16));
  shorts_.push_back(
      {it->second.device, packed, std::move(bytes), std::chrono::steady_clock::now()});
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::TimedMsg(HMIDIOUT handle, const std::uint8_t* bytes, std::uint32_t length,
                                   std::int64_t due_us) {
  std::lock_guard lock(mutex_);
  ++calls_;
  if (MMRESULT f = Failure(Op::Timed)) return f;
  auto it = handles_.find(handle);
  if (it == handles_.end()) return MMSYSERR_INVALHANDLE;
  if (length == 0 || length > kMaxTimedBytes) return MMSYSERR_INVALPARAM;
  timed_.push_back({it->second.device, std::vector<std::uint8_t>(bytes, bytes + length), due_us,
                    std::chrono::steady_clock::now()});
  return MMSYSERR_NOERROR;
}

std::int64_t FakeMidiService::LeadUs(HMIDIOUT) {
  return lead_us_.load();
}

void FakeMidiService::SetConnections(std::int32_t id, int connections) {
  std::lock_guard lock(mutex_);
  connections_[id] = connections;
}

void FakeMidiService::SetGone(std::int32_t id, bool gone) {
  std::lock_guard lock(mutex_);
  gone_[id] = gone;
}

int FakeMidiService::Connections(HMIDIOUT handle) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(handle);
  if (h == handles_.end()) return -1;
  const auto c = connections_.find(h->second.device);
  return c == connections_.end() ? -1 : c->second;
}

bool FakeMidiService::Gone(HMIDIOUT handle) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(handle);
  if (h == handles_.end()) return true;
  const auto g = gone_.find(h->second.device);
  return g != gone_.end() && g->second;
}

MMRESULT FakeMidiService::PrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  ++calls_;
  if (MMRESULT f = Failure(Op::Prepare)) return f;
  if (!handles_.count(handle)) return MMSYSERR_INVALHANDLE;
  if (!hdr || size < sizeof(MIDIHDR) || !hdr->lpData || hdr->dwBufferLength == 0) {
    return MMSYSERR_INVALPARAM;
  }
  hdr->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::LongMsg(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  bool now;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (MMRESULT f = Failure(Op::Long)) return f;
    if (!handles_.count(handle)) return MMSYSERR_INVALHANDLE;
    if (!hdr || size < sizeof(MIDIHDR) || !hdr->lpData || hdr->dwBufferLength == 0) {
      return MMSYSERR_INVALPARAM;
    }
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    queue_.push_back({handle, hdr, std::chrono::steady_clock::now()});
    now = auto_complete_;
  }
  if (now) CompleteLongMessages();
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::UnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  ++calls_;
  MMRESULT r = Failure(Op::Unprepare);
  if (!r && !handles_.count(handle)) r = MMSYSERR_INVALHANDLE;
  if (!r && (!hdr || size < sizeof(MIDIHDR))) r = MMSYSERR_INVALPARAM;
  if (!r && (hdr->dwFlags & MHDR_INQUEUE)) r = MIDIERR_STILLPLAYING;
  if (!r) hdr->dwFlags &= ~MHDR_PREPARED;
  unprepares_.push_back({handle, hdr, r});
  return r;
}

MMRESULT FakeMidiService::Reset(HMIDIOUT handle) {
  std::vector<Queued> returned;
  Handle h;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (MMRESULT f = Failure(Op::Reset)) return f;
    auto it = handles_.find(handle);
    if (it == handles_.end()) return MMSYSERR_INVALHANDLE;
    h = it->second;
    for (auto q = queue_.begin(); q != queue_.end();) {
      if (q->handle == handle) {
        q->header->dwFlags = (q->header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        returned.push_back(*q);
        q = queue_.erase(q);
      } else {
        ++q;
      }
    }
  }
  for (const Queued& q : returned) {
    h.callback(handle, MM_MOM_DONE, h.instance, reinterpret_cast<DWORD_PTR>(q.header), 0);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiService::GetErrorText(MMRESULT code, char* text, std::uint32_t size) {
  std::string custom;
  {
    std::lock_guard lock(mutex_);
    auto it = texts_.find(code);
    if (it == texts_.end()) return MidiService::GetErrorText(code, text, size);
    custom = it->second;
  }
  return CopyErrorText(custom.c_str(), text, size);
}

}  // namespace qb
