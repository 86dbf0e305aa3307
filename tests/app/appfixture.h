// The main window under test: a fresh settings directory, the fake MIDI service with scripted
// devices, recorded error boxes, and UDP peers on loopback.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/unit1.h"
#include "midi/fake/fakemidiservice.h"
#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "platform/timer.h"
#include "tests/common/testsupport.h"
#include "tray/fake/faketrayservice.h"

namespace apptest {

// A UDP socket on loopback for sending to the bridge and receiving its replies.
class Peer {
 public:
  // Binds to port on all local addresses (0: an ephemeral one).
  explicit Peer(uint16_t port = 0);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  void SendTo(const std::string& bytes, uint16_t port, const char* host = "127.0.0.1");
  // One datagram if one is queued now (never waits).
  struct Datagram {
    std::string bytes;
    std::string from_host;
    uint16_t from_port;
  };
  std::optional<Datagram> TryReceive();
  // Waits, pumping the event loop, until a datagram arrives or the deadline passes.
  std::optional<Datagram> Receive(std::chrono::milliseconds deadline = std::chrono::seconds(5));

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// True when another socket can bind UDP port on all local addresses.
bool PortFree(uint16_t port);

// The 32 bits of a single, most significant byte first.
std::string BigEndian(uint32_t bits);
std::string Single(float value);
std::string Integer(int32_t value);
// An OSC message with one float or int argument: the address padded with zero bytes, the type
// tag, the argument.
std::string FloatMessage(const std::string& address, float value);
std::string IntMessage(const std::string& address, int32_t value);
// A bundle with one element.
std::string Bundle(const std::string& element);

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the settings file before the form starts (values as raw INI text).
  void WriteSettings(const std::string& body);
  // The values as the settings store reads them.
  std::optional<int32_t> StoredValue(const std::string& name);

  // Devices "Synth A", "Synth B", ... numbered from 0.
  void AddDevices(int count);
  TForm1& Start();

  // Runs f on the engine's thread with its components, and waits for the result.
  template <class F>
  auto OnEngine(F&& f) {
    return form_->Engine().Call(std::forward<F>(f));
  }
  // Everything posted to the engine has run, and the window has taken what it published: the
  // frame, come at once.
  void Settle() {
    form_->Engine().Sync();
    form_->UpdateView();
  }

  std::vector<uint32_t> ShortPacked() const;
  // Completes the queued long messages and gives every one played so far.
  std::vector<std::vector<uint8_t>> LongBytes();

  QTemporaryDir config_;
  qb::FakeMidiService midi_;
  qb::ScopedFakeTray tray_;  // installed before any form exists
  std::unique_ptr<qbtest::RecordingPresenter> errors_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace apptest
