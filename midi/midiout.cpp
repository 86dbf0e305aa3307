#include "midi/midiout.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace qb {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFreedBlocks = false;  // the sanitizer must see every use after free
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepFreedBlocks = false;
#else
constexpr bool kKeepFreedBlocks = true;
#endif
#else
constexpr bool kKeepFreedBlocks = true;
#endif

// Freed blocks wait here for the next message of their size: a time code for every seek must
// not cost the allocator anything. Blocks are zero-filled again when they are handed out. Each
// thread keeps its own shelves, so taking and giving back take no lock: the port allocates and
// releases on the user-interface thread, and a block given back on another thread just waits on
// that thread's shelves.
class BlockCache {
 public:
  void* Take(std::size_t size) {
    live_.fetch_add(1, std::memory_order_relaxed);
    if (Shelves* mine = Mine())
      if (void* p = mine->Take(size)) {
        std::memset(p, 0, size);
        return p;
      }
    void* p = std::calloc(size, 1);
    if (!p) live_.fetch_sub(1, std::memory_order_relaxed);
    return p;
  }
  void Give(void* p, std::size_t size) {
    live_.fetch_sub(1, std::memory_order_relaxed);
    if (Shelves* mine = Mine(); mine && mine->Keep(p, size)) return;
    std::free(p);
  }
  std::size_t Live() const { return live_.load(std::memory_order_relaxed); }

 private:
  class Shelves {
   public:
    ~Shelves() {
      for (Shelf& shelf : shelves_)
        for (void* p : shelf.blocks) std::free(p);
      t_gone = true;  // a later destructor of this thread may still give blocks back
    }
    void* Take(std::size_t size) {
      for (Shelf& shelf : shelves_) {
        if (shelf.size == size && !shelf.blocks.empty()) {
          void* p = shelf.blocks.back();
          shelf.blocks.pop_back();
          return p;
        }
        if (shelf.size == 0) break;  // shelves are taken in order: no later one has a size
      }
      return nullptr;
    }
    bool Keep(void* p, std::size_t size) {
      for (Shelf& shelf : shelves_) {
        if (shelf.size == 0) {
          shelf.size = size;
          shelf.blocks.reserve(kBlocksPerShelf);
        }
        if (shelf.size != size) continue;
        if (shelf.blocks.size() == kBlocksPerShelf) return false;
        shelf.blocks.push_back(p);
        return true;
      }
      return false;
    }

   private:
    static constexpr std::size_t kBlocksPerShelf = 256;
    struct Shelf {
      std::size_t size = 0;
      std::vector<void*> blocks;
    };
    Shelf shelves_[8];  // a handful of sizes: headers, wrappers, time codes and beats
  };
  static Shelves* Mine() {
    if (!kKeepFreedBlocks || t_gone) return nullptr;
    thread_local Shelves shelves;
    return &shelves;
  }
  static thread_local bool t_gone;
  std::atomic<std::size_t> live_{0};
};

thread_local bool BlockCache::t_gone = false;

// Made before any code runs and never destroyed: it outlives every port, also at exit.
constinit BlockCache g_blocks;
BlockCache& Blocks() {
  return g_blocks;
}

// Each block carries its size in front, so it can go back to its shelf.
constexpr std::size_t kPrefix = alignof(std::max_align_t);

}  // namespace

void* AllocSharedLocked(std::uint16_t size, HGLOBAL& handle) {
  const std::size_t n = size ? size : 1;
  auto* block = static_cast<unsigned char*>(Blocks().Take(kPrefix + n));
  handle = 0;
  if (!block) return nullptr;
  std::memcpy(block, &n, sizeof n);
  handle = reinterpret_cast<HGLOBAL>(block + kPrefix);
  return block + kPrefix;
}

void FreeSharedLocked(HGLOBAL handle, void* /*address*/) {
  if (handle == 0) return;
  auto* block = reinterpret_cast<unsigned char*>(handle) - kPrefix;
  std::size_t n = 0;
  std::memcpy(&n, block, sizeof n);
  Blocks().Give(block, kPrefix + n);
}

std::size_t SharedLockedBlocks() {
  return Blocks().Live();
}

void* TMyMidiHdr::operator new(std::size_t size) {
  HGLOBAL handle;
  void* p = AllocSharedLocked(static_cast<std::uint16_t>(size), handle);
  if (!p) throw std::bad_alloc();
  return p;
}

void TMyMidiHdr::operator delete(void* p) {
  FreeSharedLocked(reinterpret_cast<HGLOBAL>(p), p);
}

TMyMidiHdr::TMyMidiHdr(std::uint16_t length) {
  if (length == 0) return;
  Header = static_cast<MIDIHDR*>(AllocSharedLocked(sizeof(MIDIHDR), HeaderHandle));
  Data = static_cast<std::uint8_t*>(AllocSharedLocked(length, DataHandle));
  if (Header) {
    Header->lpData = Data;
    Header->dwBufferLength = length;
  }
}

TMyMidiHdr::~TMyMidiHdr() {
  FreeSharedLocked(HeaderHandle, Header);
  FreeSharedLocked(DataHandle, Data);
}

TMidiOutput::TMidiOutput(TComponent* owner) : TComponent(owner), FService(CurrentMidiService()) {
  FPortState = TMidiOutPortState::MidiOutClosed;
  FDeviceCount = static_cast<std::uint16_t>(FService.GetNumDevs());
  FPending.reserve(64);
  FNotifyWindow = AllocateHWnd(
      [this](UINT msg, WPARAM wparam, LPARAM lparam) { return HandleNotify(msg, wparam, lparam); });
}

TMidiOutput::~TMidiOutput() {
  if (FPortState == TMidiOutPortState::MidiOutOpen) {
    try {
      Close();
    } catch (...) {
      // A destructor must not throw, and nothing may be freed while the device still reads it:
      // take the queued messages back from the device, then close it regardless.
      FService.Reset(FOutputHandle);
      FService.Close(FOutputHandle);
      FOutputHandle = 0;
      FPortState = TMidiOutPortState::MidiOutClosed;
    }
  }
  // Done notices still queued for the window go with it; their messages are released below.
  DeallocateHWnd(FNotifyWindow);
  for (auto& [header, wrapper] : FPending) {
    FService.UnprepareHeader(FOutputHandle, header, sizeof(MIDIHDR));
    delete wrapper;
  }
  FPending.clear();
  ReleaseCallbackBlock();
}

void TMidiOutput::RaiseResult(MMRESULT result) {
  throw EmidioutputError(ResultText(static_cast<std::uint16_t>(result & 0xFFFF)));
}

void TMidiOutput::ReleaseCallbackBlock() {
  if (FCallbackBlock) FreeSharedLocked(FCallbackBlock->MemoryHandle, FCallbackBlock);
  FCallbackBlock = nullptr;
}

void TMidiOutput::SetDeviceID(std::int32_t v) {
  if (FPortState == TMidiOutPortState::MidiOutOpen) {
    throw EmidioutputError("Change to DeviceID while device was open");
  }
  const std::int64_t count = FService.GetNumDevs();
  if (!(v < count) && v != MIDI_MAPPER) throw EmidioutputError("Invalid device ID");
  FDeviceID = v;
  MIDIOUTCAPS caps{};
  FLastResult = FService.GetDevCaps(v, caps);
  if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
  FProductName.assign(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
  if (FService.GetDevFullName(v, FFullName) != MMSYSERR_NOERROR) FFullName = FProductName;
  FDeviceDriverVersion = caps.vDriverVersion;
  FDeviceTechnology = static_cast<std::uint8_t>(caps.wTechnology & 0xFF);
  FDeviceVoices = caps.wVoices;
  FDeviceNotes = caps.wNotes;
  FDeviceChannelMask = caps.wChannelMask;
  FDeviceSupport = caps.dwSupport;
}

void TMidiOutput::SetProductName(const std::string& s) {
  if (FPortState == TMidiOutPortState::MidiOutOpen) {
    throw EmidioutputError("Change to ProductName while device was open");
  }
  if (Loading()) return;
  const std::int64_t n = FService.GetNumDevs();
  std::int64_t id = MIDI_MAPPER;
  for (; id < n; ++id) {
    MIDIOUTCAPS caps{};
    FLastResult = FService.GetDevCaps(static_cast<std::int32_t>(id), caps);
    if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
    if (std::string(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname))) == s) {
      FProductName = s;
      break;
    }
  }
  if (FProductName != s) throw EmidioutputError("MIDI output Device " + s + " not installed");
  SetDeviceID(static_cast<std::int32_t>(id));
}

bool TMidiOutput::Open() {
  if (FPortState == TMidiOutPortState::MidiOutOpen) return true;
  try {
    if (!FCallbackBlock) {
      HGLOBAL handle = 0;
      auto* block = static_cast<TCallbackBlock*>(AllocSharedLocked(sizeof(TCallbackBlock), handle));
      if (!block) {
        FLastResult = MMSYSERR_NOMEM;
        RaiseResult(FLastResult);
      }
      block->MemoryHandle = handle;
      FCallbackBlock = block;
    }
    FCallbackBlock->NotifyWindow = FNotifyWindow;
    // Device numbers shift when a device leaves: open the chosen device or none, never the one
    // that moved into its number.
    if (!FFullName.empty()) {
      std::string now;
      FLastResult = FService.GetDevFullName(FDeviceID, now);
      if (FLastResult == MMSYSERR_NOERROR && now != FFullName) FLastResult = MIDIERR_NODEVICE;
      if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
    }
    HMIDIOUT handle = 0;
    FLastResult = FService.Open(handle, FDeviceID, &TMidiOutput::DeviceCallback,
                                reinterpret_cast<DWORD_PTR>(FCallbackBlock), CALLBACK_FUNCTION);
    if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
    FOutputHandle = handle;
    FPortState = TMidiOutPortState::MidiOutOpen;
    return true;
  } catch (...) {
    ReleaseCallbackBlock();
    return false;
  }
}

bool TMidiOutput::Close() {
  bool result = false;
  if (FPortState == TMidiOutPortState::MidiOutOpen) {
    FLastResult = FService.Close(FOutputHandle);
    if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
    result = true;
  }
  FOutputHandle = 0;
  FPortState = TMidiOutPortState::MidiOutClosed;
  return result;
}

void TMidiOutput::SendShortMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  const std::uint32_t packed =
      std::uint32_t{status} | (std::uint32_t{data1} << 8) | (std::uint32_t{data2} << 16);
  FLastResult = FService.ShortMsg(FOutputHandle, packed);
  if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
}

void TMidiOutput::SendTimed(const std::uint8_t* data, std::uint16_t length, std::int64_t due_us) {
  FLastResult = FService.TimedMsg(FOutputHandle, data, length, due_us);
  if (FLastResult != MMSYSERR_NOERROR) RaiseResult(FLastResult);
}

std::int64_t TMidiOutput::LeadUs() {
  return IsOpen() ? FService.LeadUs(FOutputHandle) : 0;
}

int TMidiOutput::Connections() {
  return IsOpen() ? FService.Connections(FOutputHandle) : -1;
}

bool TMidiOutput::DeviceGone() {
  return !IsOpen() || FService.Gone(FOutputHandle);
}

void TMidiOutput::SendLongMessage(const std::uint8_t* data, std::uint16_t length) {
  // An empty message has nothing to play and no memory to carry it.
  if (length == 0 || !data) {
    FLastResult = MMSYSERR_INVALPARAM;
    RaiseResult(FLastResult);
  }
  auto* wrapper = new TMyMidiHdr(length);
  if (!wrapper->Header || !wrapper->Data) {
    delete wrapper;
    FLastResult = MMSYSERR_NOMEM;
    RaiseResult(FLastResult);
  }
  std::memcpy(wrapper->Data, data, length);
  MIDIHDR* header = wrapper->Header;
  header->dwUser = reinterpret_cast<DWORD_PTR>(wrapper);
  FPending.emplace_back(header, wrapper);

  FLastResult = FService.PrepareHeader(FOutputHandle, header, sizeof(MIDIHDR));
  if (FLastResult == MMSYSERR_NOERROR) {
    FLastResult = FService.LongMsg(FOutputHandle, header, sizeof(MIDIHDR));
    if (FLastResult == MMSYSERR_NOERROR) {
      // A device that only queues took it within the call: it is done now, and no notice comes.
      if (header->dwReserved[kTakenInCall]) Complete(FPending.size() - 1);
      return;
    }
    FService.UnprepareHeader(FOutputHandle, header, sizeof(MIDIHDR));
  }
  // Neither queued nor to be announced: the memory goes back at once.
  FPending.pop_back();
  delete wrapper;
  RaiseResult(FLastResult);
}

void TMidiOutput::SendEvent(const TOutputEvent& event) {
  if (FPortState != TMidiOutPortState::MidiOutOpen) {
    throw EmidioutputError("MIDI Output device not open");
  }
  if (event.LongData == nullptr) {
    SendShortMessage(event.Status, event.Data1, event.Data2);
  } else {
    SendLongMessage(event.LongData, event.LongLength);
  }
}

std::string TMidiOutput::ResultText(std::uint16_t code) {
  std::vector<char> buffer(128, '\0');
  if (FService.GetErrorText(code, buffer.data(), static_cast<std::uint32_t>(buffer.size())) ==
      MMSYSERR_NOERROR) {
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
  }
  return "Specified error number is out of range";
}

void TMidiOutput::DeviceCallback(HMIDIOUT /*handle*/, std::uint32_t msg, DWORD_PTR instance,
                                 DWORD_PTR param1, DWORD_PTR /*param2*/) {
  if (msg != MM_MOM_DONE) return;
  const auto* block = reinterpret_cast<const TCallbackBlock*>(instance);
  PostMessage(block->NotifyWindow, MM_MOM_DONE, 0, static_cast<LPARAM>(param1));
}

LRESULT TMidiOutput::HandleNotify(UINT msg, WPARAM /*wparam*/, LPARAM lparam) {
  if (msg != MM_MOM_DONE) return 0;
  auto* header = reinterpret_cast<MIDIHDR*>(lparam);
  auto it = std::find_if(FPending.begin(), FPending.end(),
                         [header](const auto& p) { return p.first == header; });
  if (it == FPending.end()) return 0;
  // Still queued means the notice came early; the device owns the memory until it is done.
  if (FService.UnprepareHeader(FOutputHandle, header, sizeof(MIDIHDR)) == MIDIERR_STILLPLAYING) {
    return 0;
  }
  Release(static_cast<std::size_t>(it - FPending.begin()));
  return 0;
}

void TMidiOutput::Complete(std::size_t index) {
  FService.UnprepareHeader(FOutputHandle, FPending[index].first, sizeof(MIDIHDR));
  Release(index);
}

void TMidiOutput::Release(std::size_t index) {
  MIDIHDR* header = FPending[index].first;
  TMyMidiHdr* wrapper = FPending[index].second;
  const auto played = static_cast<MMRESULT>(header->dwReserved[kPlayResult]);
  FPending[index] = FPending.back();  // the order of what is pending does not matter
  FPending.pop_back();
  delete wrapper;
  // A message the device refused was not played: its memory goes back all the same, and the
  // failure is reported like that of any send.
  if (played != MMSYSERR_NOERROR) {
    FLastResult = played;
    RaiseResult(played);
  }
  if (Onmidioutput) Onmidioutput(this);
}

}  // namespace qb
