// The service that real devices sit behind: its worker thread, close while playing, reset,
// the short-message lengths, and the monitor device.
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "midi/backends.h"
#include "midi/midiout.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace qb::detail;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A device whose long messages wait until the test lets them through.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::vector<Bytes> sent;
  std::atomic<int> waiting{0};

  void Release() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};

class GatedDevice : public OutputDevice {
 public:
  explicit GatedDevice(Gate& gate) : gate_(gate) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    std::unique_lock lock(gate_.mutex);
    if (length > 3) {
      ++gate_.waiting;
      gate_.cv.wait(lock, [&] { return gate_.open; });
      --gate_.waiting;
    }
    gate_.sent.emplace_back(bytes, bytes + length);
    return MMSYSERR_NOERROR;
  }

 private:
  Gate& gate_;
};

class GatedProvider : public DeviceProvider {
 public:
  explicit GatedProvider(Gate& gate) : gate_(gate) {}
  std::vector<DeviceEntry> Devices() override {
    DeviceEntry e;
    e.name = "gated";
    e.open = [this](std::unique_ptr<OutputDevice>& d) {
      d = std::make_unique<GatedDevice>(gate_);
      return MMSYSERR_NOERROR;
    };
    std::vector<DeviceEntry> list;
    list.push_back(std::move(e));
    return list;
  }

 private:
  Gate& gate_;
};

struct Notices {
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, DWORD_PTR>> got;
  static void Callback(HMIDIOUT, std::uint32_t msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    auto* self = reinterpret_cast<Notices*>(instance);
    std::lock_guard lock(self->mutex);
    self->got.emplace_back(msg, p1);
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return got.size();
  }
};

MIDIHDR MakeHeader(Bytes& data) {
  MIDIHDR h{};
  h.lpData = data.data();
  h.dwBufferLength = static_cast<std::uint32_t>(data.size());
  return h;
}

SessionMidiService GatedService(Gate& gate) {
  std::vector<std::unique_ptr<DeviceProvider>> providers;
  providers.push_back(std::make_unique<GatedProvider>(gate));
  return SessionMidiService(std::move(providers));
}

}  // namespace

TEST(SessionService, LongMessagesArePlayedInOrderAndCloseWaitsForThem) {
  Gate gate;
  auto service = GatedService(gate);
  Notices notices;
  HMIDIOUT h = 0;
  ASSERT_EQ(service.Open(h, MIDI_MAPPER, &Notices::Callback, reinterpret_cast<DWORD_PTR>(&notices),
                         CALLBACK_FUNCTION),
            0u);
  Bytes a = {0xF0, 1, 2, 0xF7}, b = {0xF0, 3, 4, 0xF7};
  MIDIHDR ha = MakeHeader(a), hb = MakeHeader(b);
  EXPECT_EQ(service.ShortMsg(h, 0x00643C90), 0u);
  EXPECT_EQ(service.LongMsg(h, &ha, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
  ASSERT_EQ(service.PrepareHeader(h, &ha, sizeof(MIDIHDR)), 0u);
  ASSERT_EQ(service.PrepareHeader(h, &hb, sizeof(MIDIHDR)), 0u);
  ASSERT_EQ(service.LongMsg(h, &ha, sizeof(MIDIHDR)), 0u);
  ASSERT_EQ(service.LongMsg(h, &hb, sizeof(MIDIHDR)), 0u);
  EXPECT_EQ(service.LongMsg(h, &hb, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
  EXPECT_EQ(service.UnprepareHeader(h, &hb, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return gate.waiting == 1; }));
  EXPECT_EQ(service.Close(h), MIDIERR_STILLPLAYING);

  gate.Release();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return notices.Count() == 3; }));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return service.Close(h) == 0; }));
  ASSERT_EQ(notices.got.size(), 4u);
  EXPECT_EQ(notices.got[0].first, MM_MOM_OPEN);
  EXPECT_EQ(notices.got[1], std::make_pair(MM_MOM_DONE, reinterpret_cast<DWORD_PTR>(&ha)));
  EXPECT_EQ(notices.got[2], std::make_pair(MM_MOM_DONE, reinterpret_cast<DWORD_PTR>(&hb)));
  EXPECT_EQ(notices.got[3].first, MM_MOM_CLOSE);
  EXPECT_TRUE(ha.dwFlags & MHDR_DONE);
  for (HMIDIOUT gone : {h, HMIDIOUT{0}})  // 0 is what a closed port asks with
    EXPECT_EQ(service.UnprepareHeader(gone, &ha, sizeof(MIDIHDR)), MMSYSERR_INVALHANDLE) << gone;
  ASSERT_EQ(gate.sent.size(), 3u);
  EXPECT_EQ(gate.sent[0], (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(gate.sent[1], a);
  EXPECT_EQ(gate.sent[2], b);
}

TEST(SessionService, ResetGivesQueuedMessagesBack) {
  Gate gate;
  auto service = GatedService(gate);
  Notices notices;
  HMIDIOUT h = 0;
  ASSERT_EQ(service.Open(h, 0, &Notices::Callback, reinterpret_cast<DWORD_PTR>(&notices),
                         CALLBACK_FUNCTION),
            0u);
  Bytes a = {0xF0, 1, 2, 0xF7}, b = {0xF0, 3, 4, 0xF7};
  MIDIHDR ha = MakeHeader(a), hb = MakeHeader(b);
  service.PrepareHeader(h, &ha, sizeof(MIDIHDR));
  service.PrepareHeader(h, &hb, sizeof(MIDIHDR));
  service.LongMsg(h, &ha, sizeof(MIDIHDR));
  service.LongMsg(h, &hb, sizeof(MIDIHDR));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return gate.waiting == 1; }));  // a is being played
  std::thread releaser([&] {
    while (notices.Count() < 2) std::this_thread::yield();  // b given back first
    gate.Release();
  });
  EXPECT_EQ(service.Reset(h), 0u);
  releaser.join();
  EXPECT_EQ(service.Close(h), 0u);
  ASSERT_EQ(notices.got.size(), 4u);
  EXPECT_EQ(notices.got[1].second, reinterpret_cast<DWORD_PTR>(&hb));
  EXPECT_EQ(notices.got[2].second, reinterpret_cast<DWORD_PTR>(&ha));
  EXPECT_EQ(gate.sent.size(), 1u);  // b was never played
}

TEST(SessionService, ShortMessageLengthsAndRefusals) {
  Gate gate;
  auto service = GatedService(gate);
  Notices notices;
  HMIDIOUT h = 0;
  EXPECT_EQ(service.ShortMsg(h, 0x90), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(service.Open(h, 1, &Notices::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.Open(h, -2, &Notices::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  ASSERT_EQ(service.Open(h, 0, &Notices::Callback, reinterpret_cast<DWORD_PTR>(&notices),
                         CALLBACK_FUNCTION),
            0u);
  const std::uint32_t data = 0x00221100;
  struct Case {
    std::uint8_t status;
    std::size_t length;
  } cases[] = {{0x80, 3}, {0xBF, 3}, {0xC0, 2}, {0xDF, 2}, {0xE5, 3}, {0xF1, 2},
               {0xF2, 3}, {0xF3, 2}, {0xF6, 1}, {0xF8, 1}, {0xFE, 1}, {0xFF, 1}};
  for (const Case& c : cases) {
    gate.sent.clear();
    ASSERT_EQ(service.ShortMsg(h, data | c.status), 0u) << int(c.status);
    ASSERT_EQ(gate.sent.size(), 1u);
    EXPECT_EQ(gate.sent[0].size(), c.length) << int(c.status);
    EXPECT_EQ(gate.sent[0][0], c.status);
  }
  gate.sent.clear();
  for (std::uint8_t status : {0xF0, 0xF7, 0x00, 0x7F}) {
    EXPECT_EQ(service.ShortMsg(h, data | status), MMSYSERR_INVALPARAM) << int(status);
  }
  EXPECT_TRUE(gate.sent.empty());
  EXPECT_EQ(service.Close(h), 0u);
  EXPECT_EQ(service.Close(h), MMSYSERR_INVALHANDLE);
}

TEST(MonitorDevice, PrintsOneHexLinePerMessage) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  ASSERT_NE(out, nullptr);
  {
    std::vector<std::unique_ptr<DeviceProvider>> providers;
    providers.push_back(CreateMonitorProvider(out));
    auto service = std::make_unique<SessionMidiService>(std::move(providers));
    SetMidiService(service.get());
    {
      TMidiOutput port(nullptr);
      EXPECT_EQ(port.DeviceCount(), 1);
      port.SetDeviceID(-1);
      EXPECT_EQ(port.ProductName(), "quillbox monitor (stdout)");
      int events = 0;
      port.Onmidioutput = [&](TObject*) { ++events; };
      ASSERT_TRUE(port.Open());
      port.SendShortMessage(0x90, 0x3C, 0x64);
      const Bytes timeCode = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x28, 0xF7};
      port.SendLongMessage(timeCode.data(), 10);
      ASSERT_TRUE(qbtest::PumpUntil([&] { return events == 1; }));
      port.SendShortMessage(0xF8, 0xAA, 0xBB);
      port.SendShortMessage(0xC0, 0x0A, 0xBB);
      EXPECT_TRUE(port.Close());
    }
    SetMidiService(nullptr);
  }
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), "90 3C 64\nF0 7F 01 01 01 00 02 03 28 F7\nF8\nC0 0A\n");
  std::free(text);
}

TEST(MonitorDevice, IsTheLastDeviceOfTheDefaultService) {
  // Whatever MIDI systems this machine lacks (here: no ALSA sequencer, usually no JACK
  // server), looking for them prints nothing on standard error.
  std::fflush(stderr);
  const int saved = dup(2);
  std::FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  dup2(fileno(capture), 2);
  std::vector<std::unique_ptr<DeviceProvider>> providers;
  providers.push_back(CreateAlsaProvider());
  providers.push_back(CreateJackProvider());
  providers.push_back(CreateMonitorProvider(stdout));
  auto service = std::make_unique<SessionMidiService>(std::move(providers));
  const std::uint32_t n = service->GetNumDevs();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(std::ftell(capture), 0L) << "the MIDI systems printed on standard error";
  std::fclose(capture);
  ASSERT_GE(n, 1u);
  MIDIOUTCAPS caps{};
  ASSERT_EQ(service->GetDevCaps(static_cast<std::int32_t>(n - 1), caps), 0u);
  EXPECT_STREQ(caps.szPname, kMonitorDeviceName);
  EXPECT_EQ(service->GetDevCaps(static_cast<std::int32_t>(n), caps), MMSYSERR_BADDEVICEID);
}
