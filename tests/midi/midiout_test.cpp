#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "midi/fake/fakemidiservice.h"
#include "midi/midiout.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace std::chrono_literals;
using Op = FakeMidiService::Op;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string TextOf(MMRESULT code) {
  return MidiErrorText(code);
}

class MidiOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMidiService(&fake); }
  void TearDown() override {
    port.reset();
    SetMidiService(nullptr);
  }
  TMidiOutput& MakePort() {
    port = std::make_unique<TMidiOutput>(nullptr);
    port->Onmidioutput = [this](TObject* sender) {
      EXPECT_EQ(sender, port.get());
      pendingAtEvent.push_back(port->PendingLongMessages());
    };
    return *port;
  }
  TMidiOutput& OpenPort() {
    auto& p = MakePort();
    EXPECT_TRUE(p.Open());
    return p;
  }
  std::size_t Events() const { return pendingAtEvent.size(); }
  bool PumpEvents(std::size_t n) {
    return qbtest::PumpUntil([&] { return Events() == n; });
  }

  FakeMidiService fake;
  std::unique_ptr<TMidiOutput> port;
  std::vector<std::size_t> pendingAtEvent;  // messages still held by the port at each event
};

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EmidioutputError& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

const Bytes kTimeCode = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x28, 0xF7};

}  // namespace

TEST_F(MidiOutputTest, NewPortIsClosedWithNothingSelected) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = MakePort();
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.DeviceID(), 0);
  EXPECT_EQ(p.ProductName(), "");
  EXPECT_EQ(p.OutputHandle(), 0u);
  EXPECT_EQ(p.CallbackBlock(), nullptr);
  EXPECT_EQ(p.DeviceDriverVersion(), 0u);
  EXPECT_EQ(p.DeviceTechnology(), 0);
  EXPECT_EQ(p.DeviceVoices(), 0);
  EXPECT_EQ(p.DeviceNotes(), 0);
  EXPECT_EQ(p.DeviceChannelMask(), 0);
  EXPECT_EQ(p.DeviceSupport(), 0u);
  EXPECT_EQ(p.DeviceCount(), 2);
  EXPECT_EQ(fake.ServiceCalls(), 0);
  // The count is taken once; the setter counts afresh.
  fake.AddDevice("Gamma");
  EXPECT_EQ(p.DeviceCount(), 2);
  p.SetDeviceID(2);
  EXPECT_EQ(p.ProductName(), "Gamma");
}

TEST_F(MidiOutputTest, DeviceIdSelectsAndCopiesCapabilities) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  MIDIOUTCAPS& caps = fake.Capabilities(1);
  caps.vDriverVersion = 0x0102;
  caps.wTechnology = 0x0203;
  caps.wVoices = 16;
  caps.wNotes = 32;
  caps.wChannelMask = 0x00FF;
  caps.dwSupport = 0x12345678;
  auto& p = MakePort();
  p.SetDeviceID(1);
  EXPECT_EQ(p.ProductName(), "Beta");
  EXPECT_EQ(p.DeviceDriverVersion(), 0x0102u);
  EXPECT_EQ(p.DeviceTechnology(), 0x03);  // low byte only
  EXPECT_EQ(p.DeviceVoices(), 16);
  EXPECT_EQ(p.DeviceNotes(), 32);
  EXPECT_EQ(p.DeviceChannelMask(), 0x00FF);
  EXPECT_EQ(p.DeviceSupport(), 0x12345678u);

  p.SetDeviceID(-1);  // the default device
  EXPECT_EQ(p.DeviceID(), -1);
  EXPECT_EQ(p.ProductName(), "Alpha");

  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(p.DeviceCount()); }), "Invalid device ID");
  EXPECT_EQ(p.DeviceID(), -1);
}

TEST_F(MidiOutputTest, NegativeNumbersAndMissingDevices) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = MakePort();
  p.SetDeviceID(1);
  // Passes the range check, fails in the query: the number stays, the name is the old one.
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(-5); }), TextOf(MMSYSERR_BADDEVICEID));
  EXPECT_EQ(p.DeviceID(), -5);
  EXPECT_EQ(p.ProductName(), "Beta");
  EXPECT_EQ(p.LastResult(), MMSYSERR_BADDEVICEID);

  fake.FailCapsOf(0, MIDIERR_NODEVICE);
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(0); }), TextOf(MIDIERR_NODEVICE));
  EXPECT_EQ(p.DeviceID(), 0);
  EXPECT_EQ(p.ProductName(), "Beta");

  fake.ClearDevices();
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(0); }), "Invalid device ID");
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(-1); }), TextOf(MMSYSERR_BADDEVICEID));
}

TEST_F(MidiOutputTest, NameSearchIsExactAndTriesTheDefaultFirst) {
  for (const char* n : {"Alpha", "Beta", "Beta", "beta"}) fake.AddDevice(n);
  auto& p = MakePort();
  p.SetProductName("Beta");
  EXPECT_EQ(p.DeviceID(), 1);  // the first of two with that name
  p.SetProductName("beta");
  EXPECT_EQ(p.DeviceID(), 3);
  p.SetProductName("Alpha");
  EXPECT_EQ(p.DeviceID(), -1);  // the default device answers first
  EXPECT_EQ(ErrorOf([&] { p.SetProductName("Bet"); }), "MIDI output Device Bet not installed");
  EXPECT_EQ(ErrorOf([&] { p.SetProductName("Beta "); }), "MIDI output Device Beta  not installed");
  EXPECT_EQ(p.DeviceID(), -1);

  // A failing query ends the search with the service's text.
  fake.FailCapsOf(0, MIDIERR_NOTREADY);
  EXPECT_EQ(ErrorOf([&] { p.SetProductName("beta"); }), TextOf(MIDIERR_NOTREADY));
  EXPECT_EQ(p.LastResult(), MIDIERR_NOTREADY);
  EXPECT_EQ(p.DeviceID(), -1);
}

TEST_F(MidiOutputTest, NameOfAVanishedDeviceGivesInvalidId) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Gone");
  auto& p = MakePort();
  p.SetProductName("Gone");
  fake.RemoveDevice(1);
  EXPECT_EQ(ErrorOf([&] { p.SetProductName("Gone"); }), "Invalid device ID");
}

TEST_F(MidiOutputTest, ProductNameIsIgnoredWhileLoading) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = MakePort();
  p.BeginLoading();
  p.SetProductName("Beta");
  p.SetProductName("No such device");
  EXPECT_EQ(p.ProductName(), "");
  EXPECT_EQ(p.DeviceID(), 0);
  p.Loaded();
  p.SetProductName("Beta");
  EXPECT_EQ(p.DeviceID(), 1);
}

TEST_F(MidiOutputTest, DeviceCannotChangeWhileOpen) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = OpenPort();
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(1); }), "Change to DeviceID while device was open");
  EXPECT_EQ(ErrorOf([&] { p.SetProductName("Beta"); }),
            "Change to ProductName while device was open");
  EXPECT_EQ(p.DeviceID(), 0);
  EXPECT_EQ(p.ProductName(), "");
}

TEST_F(MidiOutputTest, OpenAndClose) {
  fake.AddDevice("Alpha");
  auto& p = MakePort();
  EXPECT_FALSE(p.Close());
  EXPECT_EQ(fake.ServiceCalls(), 0);

  ASSERT_TRUE(p.Open());
  EXPECT_TRUE(p.IsOpen());
  EXPECT_NE(p.OutputHandle(), 0u);
  EXPECT_EQ(fake.OpenCount(0), 1);
  ASSERT_NE(p.CallbackBlock(), nullptr);
  EXPECT_EQ(fake.InstanceOf(p.OutputHandle()), reinterpret_cast<DWORD_PTR>(p.CallbackBlock()));
  EXPECT_EQ(p.CallbackBlock()->NotifyWindow, p.NotifyWindow());
  // Opening again keeps the device instead of forgetting its handle.
  HMIDIOUT handle = p.OutputHandle();
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.OutputHandle(), handle);
  EXPECT_EQ(fake.OpenCount(0), 1);

  EXPECT_TRUE(p.Close());
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.OutputHandle(), 0u);
  EXPECT_EQ(fake.CloseCount(0), 1);
  EXPECT_NE(p.CallbackBlock(), nullptr);  // kept for the next Open

  fake.FailWith(Op::Close, MMSYSERR_ERROR);
  ASSERT_TRUE(p.Open());
  EXPECT_EQ(ErrorOf([&] { p.Close(); }), TextOf(MMSYSERR_ERROR));
  EXPECT_TRUE(p.IsOpen());
  EXPECT_NE(p.OutputHandle(), 0u);
  fake.FailWith(Op::Close, 0);
}

TEST_F(MidiOutputTest, FailedOpenReleasesTheBlockAndALaterOpenMakesANewOne) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = MakePort();
  ASSERT_TRUE(p.Open());
  ASSERT_TRUE(p.Close());
  fake.FailWith(Op::Open, MMSYSERR_ALLOCATED);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.LastResult(), MMSYSERR_ALLOCATED);
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.CallbackBlock(), nullptr);

  fake.FailWith(Op::Open, 0);
  ASSERT_TRUE(p.Open());
  ASSERT_NE(p.CallbackBlock(), nullptr);
  EXPECT_EQ(fake.InstanceOf(p.OutputHandle()), reinterpret_cast<DWORD_PTR>(p.CallbackBlock()));
  EXPECT_EQ(p.CallbackBlock()->NotifyWindow, p.NotifyWindow());
  ASSERT_TRUE(p.Close());

  // A device that vanishes between the count and the open.
  p.SetDeviceID(1);
  fake.RemoveDevice(1);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.LastResult(), MMSYSERR_BADDEVICEID);
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.CallbackBlock(), nullptr);

  // One that vanishes while another moves into its number: the other is not opened instead.
  fake.AddDevice("Gamma");
  fake.AddDevice("Delta");
  p.SetDeviceID(1);
  ASSERT_EQ(p.ProductName(), "Gamma");
  fake.RemoveDevice(1);
  const int opens = fake.OpenCount(1);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.LastResult(), MIDIERR_NODEVICE);
  EXPECT_EQ(fake.OpenCount(1), opens);
  EXPECT_FALSE(p.IsOpen());
}

TEST_F(MidiOutputTest, ShortMessagesArePackedAndSentWithTheirLength) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  p.SendShortMessage(0x90, 0x3C, 0x64);
  p.SendShortMessage(0xC3, 0x05, 0x77);
  p.SendShortMessage(0xF8, 0x11, 0x22);
  auto got = fake.ShortMessages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].packed, 0x00643C90u);
  EXPECT_EQ(got[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(got[1].bytes, (Bytes{0xC3, 0x05}));
  EXPECT_EQ(got[2].bytes, (Bytes{0xF8}));
  EXPECT_EQ(p.LastResult(), 0u);

  // Not short messages: system exclusive bytes and running status.
  EXPECT_EQ(ErrorOf([&] { p.SendShortMessage(0xF0, 0, 0); }), TextOf(MMSYSERR_INVALPARAM));
  EXPECT_EQ(p.LastResult(), MMSYSERR_INVALPARAM);
  EXPECT_EQ(ErrorOf([&] { p.SendShortMessage(0x3C, 0x64, 0); }), TextOf(MMSYSERR_INVALPARAM));

  fake.FailWith(Op::Short, MIDIERR_NOTREADY);
  EXPECT_EQ(ErrorOf([&] { p.SendShortMessage(0x90, 1, 2); }), TextOf(MIDIERR_NOTREADY));
  EXPECT_EQ(p.LastResult(), MIDIERR_NOTREADY);
  EXPECT_TRUE(p.IsOpen());
}

TEST_F(MidiOutputTest, SendsOnAClosedPort) {
  fake.AddDevice("Alpha");
  auto& p = MakePort();
  const std::string invalid = TextOf(MMSYSERR_INVALHANDLE);
  EXPECT_EQ(ErrorOf([&] { p.SendShortMessage(0x90, 0x3C, 0x64); }), invalid);
  EXPECT_EQ(p.LastResult(), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(ErrorOf([&] { p.SendLongMessage(kTimeCode.data(), 10); }), invalid);
  EXPECT_EQ(p.PendingLongMessages(), 0u);
  TOutputEvent shortEvent{0x90, 0x3C, 0x64, 0, nullptr};
  EXPECT_EQ(ErrorOf([&] { p.SendEvent(shortEvent); }), "MIDI Output device not open");

  // SendEvent on an open port picks the kind from LongData.
  ASSERT_TRUE(p.Open());
  p.SendEvent(shortEvent);
  TOutputEvent longEvent{0, 0, 0, 10, kTimeCode.data()};
  p.SendEvent(longEvent);
  fake.CompleteLongMessages();
  ASSERT_TRUE(PumpEvents(1));
  ASSERT_EQ(fake.ShortMessages().size(), 1u);
  EXPECT_EQ(fake.ShortMessages()[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
  ASSERT_EQ(fake.LongMessages().size(), 1u);
  EXPECT_EQ(fake.LongMessages()[0].bytes, kTimeCode);
}

TEST_F(MidiOutputTest, LongMessageIsTheCallersBytesAtTheTimeOfTheCall) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  Bytes buffer = kTimeCode;
  p.SendLongMessage(buffer.data(), static_cast<std::uint16_t>(buffer.size()));
  std::fill(buffer.begin(), buffer.end(), 0x55);
  buffer.clear();
  buffer.shrink_to_fit();
  EXPECT_EQ(p.PendingLongMessages(), 1u);
  EXPECT_EQ(fake.CompleteLongMessages(), 1u);
  ASSERT_TRUE(PumpEvents(1));
  EXPECT_EQ(fake.LongMessages()[0].bytes, kTimeCode);
  // The event comes after the memory is released, and after the header was unprepared.
  EXPECT_EQ(pendingAtEvent[0], 0u);
  ASSERT_EQ(fake.UnprepareCalls().size(), 1u);
  EXPECT_EQ(fake.UnprepareCalls()[0].handle, p.OutputHandle());
  EXPECT_EQ(fake.UnprepareCalls()[0].result, 0u);
}

TEST_F(MidiOutputTest, ResultTexts) {
  auto& p = MakePort();
  EXPECT_EQ(p.ResultText(12345), "Specified error number is out of range");
  EXPECT_EQ(p.ResultText(MIDIERR_STILLPLAYING), TextOf(MIDIERR_STILLPLAYING));
  fake.SetErrorText(300, "Scripted failure");
  EXPECT_EQ(p.ResultText(300), "Scripted failure");
  // The service's texts are cut to the 128-character buffer, never overrun it.
  fake.SetErrorText(301, std::string(300, 'x'));
  EXPECT_EQ(p.ResultText(301), std::string(127, 'x'));
  // Only the low 16 bits of a result are translated.
  fake.AddDevice("Alpha");
  fake.FailWith(Op::Caps, 0x10000 + 300);
  EXPECT_EQ(ErrorOf([&] { p.SetDeviceID(0); }), "Scripted failure");
  EXPECT_EQ(p.LastResult(), 0x10000u + 300);
  for (MMRESULT code : {MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_INVALHANDLE, MMSYSERR_NOMEM,
                        MMSYSERR_INVALPARAM, MIDIERR_STILLPLAYING, MIDIERR_NODEVICE}) {
    EXPECT_NE(p.ResultText(static_cast<std::uint16_t>(code)),
              "Specified error number is out of range")
        << code;
  }
}

TEST_F(MidiOutputTest, DoneNoticeAfterCloseOrReopen) {
  fake.AddDevice("Alpha");
  fake.AddDevice("Beta");
  auto& p = OpenPort();
  p.SendLongMessage(kTimeCode.data(), 10);
  // The device cannot be closed while it still holds the message.
  EXPECT_EQ(ErrorOf([&] { p.Close(); }), TextOf(MIDIERR_STILLPLAYING));
  EXPECT_TRUE(p.IsOpen());

  fake.CompleteLongMessages();  // notice posted, not yet handled
  ASSERT_TRUE(p.Close());
  ASSERT_TRUE(PumpEvents(1));
  EXPECT_EQ(p.PendingLongMessages(), 0u);
  ASSERT_EQ(fake.UnprepareCalls().size(), 1u);
  EXPECT_EQ(fake.UnprepareCalls()[0].handle, 0u);  // the port's handle while closed
  EXPECT_EQ(fake.UnprepareCalls()[0].result, MMSYSERR_INVALHANDLE);

  ASSERT_TRUE(p.Open());
  p.SendLongMessage(kTimeCode.data(), 10);
  fake.CompleteLongMessages();
  ASSERT_TRUE(p.Close());
  p.SetDeviceID(1);
  ASSERT_TRUE(p.Open());
  ASSERT_TRUE(PumpEvents(2));
  EXPECT_EQ(p.PendingLongMessages(), 0u);
  EXPECT_EQ(fake.UnprepareCalls().back().handle, p.OutputHandle());
}

TEST_F(MidiOutputTest, SeveralLongMessagesGiveOneEventEachInCompletionOrder) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  for (std::uint8_t i = 0; i < 3; ++i) {
    Bytes m = {0xF0, 0x7D, i, 0xF7};
    p.SendLongMessage(m.data(), 4);
  }
  p.SendShortMessage(0x90, 1, 2);  // short messages raise no event
  EXPECT_EQ(p.PendingLongMessages(), 3u);
  ASSERT_TRUE(fake.CompleteLongMessageAt(2));
  ASSERT_TRUE(fake.CompleteLongMessageAt(0));
  ASSERT_TRUE(fake.CompleteLongMessageAt(0));
  ASSERT_TRUE(PumpEvents(3));
  qbtest::PumpFor(30ms);
  EXPECT_EQ(Events(), 3u);
  EXPECT_EQ(pendingAtEvent, (std::vector<std::size_t>{2, 1, 0}));
  auto played = fake.LongMessages();
  ASSERT_EQ(played.size(), 3u);
  EXPECT_EQ(played[0].bytes[2], 2);
  EXPECT_EQ(played[1].bytes[2], 0);
  EXPECT_EQ(played[2].bytes[2], 1);
  // The unprepare calls follow the same order.
  auto unprepared = fake.UnprepareCalls();
  ASSERT_EQ(unprepared.size(), 3u);
  EXPECT_EQ(unprepared[0].result, 0u);
}

TEST_F(MidiOutputTest, WithoutAHandlerADoneNoticeOnlyReleasesMemory) {
  fake.AddDevice("Alpha");
  fake.SetAutoComplete(true);
  auto& p = OpenPort();
  p.Onmidioutput = nullptr;
  p.SendLongMessage(kTimeCode.data(), 10);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return p.PendingLongMessages() == 0; }));
  EXPECT_EQ(fake.UnprepareCalls().size(), 1u);
}

TEST_F(MidiOutputTest, OpenAndCloseNoticesPostNothing) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  p.SendLongMessage(kTimeCode.data(), 10);
  MIDIHDR* queued = fake.QueuedHeaders().at(0);
  // Notices that are not "done", even carrying a live header, must not release it.
  ASSERT_TRUE(
      fake.DeliverNotice(p.OutputHandle(), MM_MOM_OPEN, reinterpret_cast<DWORD_PTR>(queued)));
  ASSERT_TRUE(
      fake.DeliverNotice(p.OutputHandle(), MM_MOM_CLOSE, reinterpret_cast<DWORD_PTR>(queued)));
  qbtest::PumpFor(50ms);
  EXPECT_EQ(Events(), 0u);
  EXPECT_EQ(p.PendingLongMessages(), 1u);
  EXPECT_TRUE(fake.UnprepareCalls().empty());
  fake.CompleteLongMessages();
  ASSERT_TRUE(PumpEvents(1));
  // Messages other than the done notice reach the window and do nothing.
  EXPECT_EQ(SendMessage(p.NotifyWindow(), WM_USER, 0, 0), 0);
  EXPECT_EQ(Events(), 1u);
}

TEST_F(MidiOutputTest, ANoticeForAHeaderThePortDoesNotOwnIsIgnored) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  MIDIHDR stranger{};
  EXPECT_EQ(SendMessage(p.NotifyWindow(), MM_MOM_DONE, 0, reinterpret_cast<LPARAM>(&stranger)), 0);
  // A second notice for a message already released is ignored too.
  p.SendLongMessage(kTimeCode.data(), 10);
  MIDIHDR* header = fake.QueuedHeaders().at(0);
  fake.CompleteLongMessages();
  ASSERT_TRUE(PumpEvents(1));
  EXPECT_EQ(SendMessage(p.NotifyWindow(), MM_MOM_DONE, 0, reinterpret_cast<LPARAM>(header)), 0);
  EXPECT_EQ(Events(), 1u);
  EXPECT_EQ(fake.UnprepareCalls().size(), 1u);
}

TEST_F(MidiOutputTest, FailedLongMessagesReleaseTheirMemory) {
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  fake.FailWith(Op::Prepare, MMSYSERR_NOMEM);
  EXPECT_EQ(ErrorOf([&] { p.SendLongMessage(kTimeCode.data(), 10); }), TextOf(MMSYSERR_NOMEM));
  EXPECT_EQ(p.LastResult(), MMSYSERR_NOMEM);
  EXPECT_EQ(p.PendingLongMessages(), 0u);
  EXPECT_TRUE(fake.UnprepareCalls().empty());  // never prepared

  fake.FailWith(Op::Prepare, 0);
  fake.FailWith(Op::Long, MIDIERR_NOTREADY);
  EXPECT_EQ(ErrorOf([&] { p.SendLongMessage(kTimeCode.data(), 10); }), TextOf(MIDIERR_NOTREADY));
  EXPECT_EQ(p.LastResult(), MIDIERR_NOTREADY);
  EXPECT_EQ(p.PendingLongMessages(), 0u);
  ASSERT_EQ(fake.UnprepareCalls().size(), 1u);  // prepared, so unprepared before release
  EXPECT_EQ(fake.UnprepareCalls()[0].result, 0u);
  EXPECT_TRUE(p.IsOpen());

  // An empty message is refused before anything is allocated or called.
  fake.FailWith(Op::Long, 0);
  int calls = fake.ServiceCalls();
  EXPECT_EQ(ErrorOf([&] { p.SendLongMessage(kTimeCode.data(), 0); }), TextOf(MMSYSERR_INVALPARAM));
  EXPECT_EQ(p.LastResult(), MMSYSERR_INVALPARAM);
  EXPECT_EQ(fake.ServiceCalls(), calls);
  TOutputEvent empty{0, 0, 0, 0, kTimeCode.data()};
  EXPECT_EQ(ErrorOf([&] { p.SendEvent(empty); }), TextOf(MMSYSERR_INVALPARAM));
}

// Each long message holds three blocks (wrapper, header, bytes) and an open port one more (the
// callback's instance data), all counted by SharedLockedBlocks in every build.
constexpr std::size_t kBlocksPerMessage = 3;

TEST_F(MidiOutputTest, DestroyedWithDoneNoticesQueuedReleasesTheirMemory) {
  fake.AddDevice("Alpha");
  const std::size_t before = SharedLockedBlocks();
  auto& p = OpenPort();
  p.SendLongMessage(kTimeCode.data(), 10);
  p.SendLongMessage(kTimeCode.data(), 10);
  EXPECT_EQ(SharedLockedBlocks(), before + 1 + 2 * kBlocksPerMessage);
  fake.CompleteLongMessages();  // both notices wait in the window's queue
  ASSERT_TRUE(p.Close());
  port.reset();
  EXPECT_EQ(SharedLockedBlocks(), before);
  qbtest::PumpFor(30ms);
  EXPECT_EQ(Events(), 0u);
  EXPECT_EQ(SharedLockedBlocks(), before);
}

// Blocks may be given back on another thread than the one that took them, and threads end with
// blocks on their shelves; the count stays exact and nothing given back is lost or reused early.
TEST(SharedLockedMemory, BlocksCrossingThreadsAndThreadsEndingKeepTheCount) {
  const std::size_t before = SharedLockedBlocks();
  std::vector<std::vector<std::pair<HGLOBAL, std::uint8_t*>>> taken(4);
  std::vector<std::thread> takers;
  for (std::size_t t = 0; t < taken.size(); ++t)
    takers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        HGLOBAL h;
        auto* p = static_cast<std::uint8_t*>(AllocSharedLocked(10 + i % 3, h));
        ASSERT_NE(p, nullptr);
        ASSERT_TRUE(std::all_of(p, p + 10 + i % 3, [](std::uint8_t b) { return b == 0; }));
        std::memset(p, static_cast<int>(t + 1), 10 + i % 3);
        if (i % 2)
          FreeSharedLocked(h, p);  // back on this thread's shelves
        else
          taken[t].emplace_back(h, p);
      }
    });
  for (auto& t : takers) t.join();
  EXPECT_EQ(SharedLockedBlocks(), before + taken.size() * 1000);
  std::vector<std::thread> givers;
  for (std::size_t t = 0; t < taken.size(); ++t)
    givers.emplace_back([&, t] {
      for (auto [h, p] : taken[(t + 1) % taken.size()]) {
        EXPECT_EQ(p[0], static_cast<std::uint8_t>((t + 1) % taken.size() + 1));  // not reused
        FreeSharedLocked(h, p);
      }
    });
  for (auto& t : givers) t.join();
  EXPECT_EQ(SharedLockedBlocks(), before);
}

TEST_F(MidiOutputTest, DestroyedWhileTheDeviceStillPlays) {
  fake.AddDevice("Alpha");
  const std::size_t before = SharedLockedBlocks();
  auto& p = OpenPort();
  HMIDIOUT handle = p.OutputHandle();
  p.SendLongMessage(kTimeCode.data(), 10);
  p.SendLongMessage(kTimeCode.data(), 10);
  // Close fails (still playing) inside the destructor: nothing escapes, the device gives the
  // messages back and is closed, and all memory is released.
  port.reset();
  EXPECT_EQ(SharedLockedBlocks(), before);
  EXPECT_FALSE(fake.IsOpenHandle(handle));
  EXPECT_EQ(fake.QueuedLongMessages(), 0u);
  EXPECT_EQ(fake.CloseCount(0), 1);
  qbtest::PumpFor(30ms);
  EXPECT_EQ(Events(), 0u);

  // Even a device that refuses to close gives its messages back and leaves nothing held.
  auto& q = OpenPort();
  q.SendLongMessage(kTimeCode.data(), 10);
  fake.FailWith(Op::Close, MMSYSERR_ERROR);
  port.reset();
  fake.FailWith(Op::Close, 0);
  EXPECT_EQ(SharedLockedBlocks(), before);
  EXPECT_EQ(fake.QueuedLongMessages(), 0u);
}

TEST_F(MidiOutputTest, ErrorFromTheEventHandlerIsReported) {
  qbtest::RecordingPresenter presenter;
  fake.AddDevice("Alpha");
  auto& p = OpenPort();
  p.Onmidioutput = [](TObject*) { throw EmidioutputError("handler failed"); };
  p.SendLongMessage(kTimeCode.data(), 10);
  fake.CompleteLongMessages();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !presenter.opened.empty(); }));
  EXPECT_EQ(presenter.opened[0], "handler failed.");
  EXPECT_EQ(p.PendingLongMessages(), 0u);
}
