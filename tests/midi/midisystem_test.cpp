// The port over the session service when its MIDI system goes away and comes back: a scripted
// system stands in for a JACK server or the ALSA sequencer.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "midi/midiout.h"
#include "midi/sessionservice.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace qb::detail;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kTimeCode = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x28, 0xF7};

// A MIDI system that can go away, come back with other devices, hold long messages back and
// refuse them. Each return is a new generation: devices of an earlier one stay gone.
struct System {
  std::mutex mutex;
  std::condition_variable cv;
  bool present = true;
  bool queues = false;     // devices opened now take long messages within the call
  bool hold_long = false;  // long messages wait until released
  MMRESULT refuse_long = MMSYSERR_NOERROR;
  std::vector<std::string> names;
  std::vector<std::pair<std::string, Bytes>> sent;  // device name and bytes
  std::shared_ptr<std::atomic<bool>> generation = std::make_shared<std::atomic<bool>>(true);
  std::function<void()> changed;
  std::atomic<int> held{0};

  void Lose() {
    {
      std::lock_guard lock(mutex);
      present = false;
      generation->store(false);
      generation = std::make_shared<std::atomic<bool>>(true);
    }
    changed();
  }
  void Return(std::vector<std::string> now) {
    {
      std::lock_guard lock(mutex);
      present = true;
      names = std::move(now);
    }
    changed();
  }
  void Release() {
    std::lock_guard lock(mutex);
    hold_long = false;
    cv.notify_all();
  }
  std::vector<std::pair<std::string, Bytes>> Sent() {
    std::lock_guard lock(mutex);
    return sent;
  }
};

class ScriptedDevice : public OutputDevice {
 public:
  ScriptedDevice(System& system, std::string name, std::shared_ptr<std::atomic<bool>> alive)
      : system_(system), name_(std::move(name)), alive_(std::move(alive)), queues_(system.queues) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    std::unique_lock lock(system_.mutex);
    if (length > 3) {
      ++system_.held;
      system_.cv.wait(lock, [&] { return !system_.hold_long; });
      --system_.held;
      if (system_.refuse_long) return system_.refuse_long;
    }
    if (!alive_->load()) return MIDIERR_NODEVICE;
    system_.sent.emplace_back(name_, Bytes(bytes, bytes + length));
    return MMSYSERR_NOERROR;
  }
  bool Alive() const override { return alive_->load(); }
  bool Queues() const override { return queues_; }

 private:
  System& system_;
  std::string name_;
  std::shared_ptr<std::atomic<bool>> alive_;
  const bool queues_;
};

class ScriptedProvider : public DeviceProvider {
 public:
  explicit ScriptedProvider(System& system) : system_(system) {}
  std::vector<DeviceEntry> Devices() override {
    std::lock_guard lock(system_.mutex);
    std::vector<DeviceEntry> list;
    if (!system_.present) return list;
    for (const std::string& n : system_.names) {
      DeviceEntry e;
      e.name = n;
      e.open = [this, n](std::unique_ptr<OutputDevice>& device) {
        std::lock_guard lock(system_.mutex);
        device = std::make_unique<ScriptedDevice>(system_, n, system_.generation);
        return MMSYSERR_NOERROR;
      };
      list.push_back(std::move(e));
    }
    return list;
  }
  void Watch(std::function<void()> changed) override { system_.changed = std::move(changed); }

 private:
  System& system_;
};

class MidiSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    system.names = {"a", "b"};
    std::vector<std::unique_ptr<DeviceProvider>> providers;
    providers.push_back(std::make_unique<ScriptedProvider>(system));
    service = std::make_unique<SessionMidiService>(std::move(providers));
    service->SetRebindInterval(20ms);
    SetMidiService(service.get());
    port = std::make_unique<TMidiOutput>(nullptr);
    port->Onmidioutput = [this](TObject*) { ++played; };
  }
  void TearDown() override {
    port.reset();
    SetMidiService(nullptr);
    service.reset();
  }
  bool Sends() {
    try {
      port->SendShortMessage(0x90, 0x3C, 0x64);
      return true;
    } catch (const EmidioutputError&) {
      return false;
    }
  }

  qbtest::RecordingPresenter boxes;
  System system;
  std::unique_ptr<SessionMidiService> service;
  std::unique_ptr<TMidiOutput> port;
  int played = 0;
};

}  // namespace

// A device that takes its time with a long message (a slow sequencer client) holds up the
// worker, never the user-interface thread: the next long message is queued at once. It once
// waited for the send under way, so the whole bridge stood still for as long as the device did.
TEST_F(MidiSystemTest, ALongMessageBeingPlayedNeverHoldsUpTheNextOne) {
  port->SetDeviceID(1);
  ASSERT_TRUE(port->Open());
  system.hold_long = true;
  port->SendLongMessage(kTimeCode.data(), 10);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return system.held == 1; }));  // the worker plays it
  // Should the send wait after all, the device lets go after 2 s, so the test fails, not hangs.
  std::thread watchdog([&] {
    std::unique_lock lock(system.mutex);
    system.cv.wait_for(lock, 2s, [&] { return !system.hold_long; });
    system.hold_long = false;
    system.cv.notify_all();
  });
  const auto start = std::chrono::steady_clock::now();
  port->SendLongMessage(kTimeCode.data(), 10);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  system.Release();
  watchdog.join();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return played == 2; }));
  EXPECT_EQ(system.Sent().size(), 2u);
}

TEST_F(MidiSystemTest, AGoneDeviceFailsAtOnceGivesItsMessagesBackAndCloses) {
  port->SetDeviceID(1);
  ASSERT_TRUE(port->Open());
  system.hold_long = true;
  for (int i = 0; i < 3; ++i) port->SendLongMessage(kTimeCode.data(), 10);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return system.held == 1; }));  // one played, two queued

  system.Lose();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Sends());
  EXPECT_EQ(port->LastResult(), MIDIERR_NODEVICE);
  try {
    port->SendLongMessage(kTimeCode.data(), 10);
    ADD_FAILURE() << "a long message to a gone device was taken";
  } catch (const EmidioutputError& e) {
    EXPECT_EQ(e.Message(), "MIDI device gone");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);

  // The queued ones come back through the completion path: memory released, no event, and
  // the failure shown in one box however many there are.
  system.Release();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return port->PendingLongMessages() == 0; }));
  EXPECT_EQ(played, 0);
  ASSERT_EQ(boxes.opened.size(), 1u);
  EXPECT_EQ(boxes.opened[0], "MIDI device gone.");
  EXPECT_TRUE(port->Close());
  EXPECT_TRUE(system.Sent().empty());
}

TEST_F(MidiSystemTest, CloseOnAGoneDeviceWithMessagesStillQueuedSucceeds) {
  port->SetDeviceID(0);
  ASSERT_TRUE(port->Open());
  system.hold_long = true;
  port->SendLongMessage(kTimeCode.data(), 10);
  port->SendLongMessage(kTimeCode.data(), 10);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return system.held == 1; }));
  system.Lose();
  std::thread releaser([&] {
    std::this_thread::sleep_for(20ms);  // the one being played ends a moment later
    system.Release();
  });
  EXPECT_TRUE(port->Close());
  releaser.join();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return port->PendingLongMessages() == 0; }));
}

TEST_F(MidiSystemTest, TheSameDeviceIsOpenedAgainByNameWhenItsSystemReturns) {
  port->SetDeviceID(1);
  ASSERT_TRUE(port->Open());
  ASSERT_TRUE(Sends());
  system.Lose();
  EXPECT_FALSE(Sends());

  // Back without "b": nothing else takes its place.
  system.Return({"a"});
  qbtest::PumpFor(100ms);
  EXPECT_FALSE(Sends());

  // Back with "b" under another number.
  system.Return({"x", "y", "b"});
  ASSERT_TRUE(qbtest::PumpUntil([&] { return Sends(); }, 5s));
  EXPECT_EQ(port->DeviceID(), 1);
  EXPECT_EQ(port->ProductName(), "b");
  const auto sent = system.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, "b");
  EXPECT_EQ(sent[1].first, "b");
  EXPECT_EQ(sent[1].second, (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_TRUE(port->Close());
}

TEST_F(MidiSystemTest, ADeviceThatOnlyQueuesTakesLongMessagesWithinTheCallInOrder) {
  system.queues = true;
  port->SetDeviceID(0);
  ASSERT_TRUE(port->Open());
  port->SendShortMessage(0x90, 0x3C, 0x64);
  port->SendLongMessage(kTimeCode.data(), 10);
  port->SendShortMessage(0x80, 0x3C, 0x00);
  // Handed over before the call returned: no worker had to run.
  const auto sent = system.Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].second, kTimeCode);
  EXPECT_EQ(sent[2].second, (Bytes{0x80, 0x3C, 0x00}));
  // Taken within the call, it is released and announced before the send returns: no done
  // notice has to come back through the loop.
  EXPECT_EQ(port->PendingLongMessages(), 0u);
  EXPECT_EQ(played, 1);
}

TEST_F(MidiSystemTest, ARefusedLongMessageIsReleasedAndReportedNotAnnounced) {
  port->SetDeviceID(0);
  ASSERT_TRUE(port->Open());
  system.refuse_long = MIDIERR_NOTREADY;
  port->SendLongMessage(kTimeCode.data(), 10);
  port->SendLongMessage(kTimeCode.data(), 10);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return port->PendingLongMessages() == 0; }));
  EXPECT_EQ(played, 0);
  EXPECT_EQ(port->LastResult(), MIDIERR_NOTREADY);
  ASSERT_EQ(boxes.opened.size(), 1u);
  EXPECT_EQ(boxes.opened[0], std::string(MidiErrorText(MIDIERR_NOTREADY)) + ".");
  EXPECT_EQ(boxes.updates.size(), 1u);  // the second counted into the box

  // Refused within the call, the send itself raises and keeps nothing.
  ASSERT_TRUE(port->Close());
  system.queues = true;
  ASSERT_TRUE(port->Open());
  EXPECT_THROW(port->SendLongMessage(kTimeCode.data(), 10), EmidioutputError);
  EXPECT_EQ(port->PendingLongMessages(), 0u);
  EXPECT_TRUE(port->Close());
}
