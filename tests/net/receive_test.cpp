#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/fake/scriptedsocketlib.h"
#include "net/udpsockutil.h"
#include "tests/common/testsupport.h"
#include "tests/net/netsupport.h"

using namespace qb;
using namespace std::chrono_literals;
using nettest::Peer;
using Lib = ScriptedSocketLibrary;

namespace {

struct Got {
  uint32_t from;
  ByteString data;
};

// What the bridge's intake does on every notice: ask what is pending, then read once.
struct Intake {
  TUdpSockUtil& u;
  std::vector<Got> got;
  int notices = 0;
  std::function<void()> on_read;
  explicit Intake(TUdpSockUtil& endpoint) : u(endpoint) {
    u.OnReceive = [this](TObject*) {
      ++notices;
      (void)u.PendingBytes();
      Got g{0, "stale"};
      u.ReceiveText(g.from, g.data);
      if (g.from != ws::kInaddrNone) got.push_back(std::move(g));
      if (on_read) on_read();
    };
  }
};

struct Listening {
  Listening() {
    u.SetLocalPort(nettest::FreePort());
    u.SetListening(true);
  }
  TUdpSockUtil u{nullptr};
  uint16_t port() const { return u.LocalPort(); }
};

}  // namespace

TEST(UdpSockUtilReceive, NothingQueuedGivesAnEmptyTextSilently) {
  Lib lib;
  TUdpSockUtil idle(nullptr);
  EXPECT_EQ(idle.PendingBytes(), 0);
  EXPECT_EQ(lib.Calls(Lib::kIoctl), 0) << "asked the library without a socket";
  uint32_t from = 0;
  ByteString data = "old";
  idle.ReceiveText(from, data);
  EXPECT_EQ(data, "");
  EXPECT_EQ(from, ws::kInaddrNone);
  EXPECT_EQ(lib.Calls(Lib::kRecvFrom), 0);

  Listening l;
  int errors = 0;
  l.u.OnError = [&](TObject*, int32_t) { ++errors; };
  from = 0;
  data = "old";
  l.u.ReceiveText(from, data);
  EXPECT_EQ(data, "");
  EXPECT_EQ(from, ws::kInaddrNone);
  EXPECT_EQ(errors, 0);

  // A socket opened by a send is blocking; reading it with nothing queued must not wait.
  TUdpSockUtil sender(nullptr);
  sender.SetLocalPort(nettest::FreePort());
  sender.SetRemoteHost("127.0.0.1");
  sender.SetRemotePort(9);
  sender.SendText("x");
  ASSERT_NE(sender.EndpointSocket(), ws::kInvalidSocket);
  sender.ReceiveText(from, data);
  EXPECT_EQ(from, ws::kInaddrNone);
}

TEST(UdpSockUtilReceive, ZeroByteDatagramsNeverStallReception) {
  Listening l;
  Intake intake(l.u);
  Peer peer;
  ASSERT_TRUE(peer.SendTo(l.port(), ""));
  ASSERT_TRUE(peer.SendTo(l.port(), std::string("a\0b", 3)));
  ASSERT_TRUE(peer.SendTo(l.port(), ""));
  ASSERT_TRUE(peer.SendTo(l.port(), "last"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return intake.got.size() == 4; }));
  EXPECT_EQ(intake.got[0].data, "");
  EXPECT_EQ(intake.got[0].from, nettest::Loopback());
  EXPECT_EQ(intake.got[1].data, std::string("a\0b", 3));
  EXPECT_EQ(intake.got[2].data, "");
  EXPECT_EQ(intake.got[3].data, "last");
  EXPECT_EQ(l.u.PendingBytes(), 0);
}

TEST(UdpSockUtilReceive, LargestDatagramArrivesWhole) {
  Listening l;
  Intake intake(l.u);
  Peer peer;
  std::string big(65507, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
  ASSERT_TRUE(peer.SendTo(l.port(), big));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return intake.got.size() == 1; }));
  EXPECT_EQ(intake.got[0].data.size(), big.size());
  EXPECT_TRUE(intake.got[0].data == big);
}

TEST(UdpSockUtilReceive, ReceiveBufferTakesOneDatagramPerCall) {
  Listening l;
  Peer peer;
  ASSERT_TRUE(peer.SendTo(l.port(), "first"));
  ASSERT_TRUE(peer.SendTo(l.port(), "second"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return l.u.PendingBytes() > 0; }));
  char buf[64];
  uint32_t from = 0;
  EXPECT_EQ(l.u.ReceiveBuffer(buf, sizeof buf, from, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "first");
  EXPECT_EQ(from, nettest::Loopback());
  ASSERT_TRUE(qbtest::PumpUntil([&] { return l.u.PendingBytes() == 6; }));
  EXPECT_EQ(l.u.ReceiveBuffer(buf, sizeof buf, from, 0), 6);
}

TEST(UdpSockUtilReceive, ReceiveFailureIsReportedThenAborts) {
  qbtest::RecordingPresenter boxes;
  Lib lib;
  Listening l;
  std::vector<int32_t> errors;
  bool rest_of_handler = false;
  l.u.OnReceive = [&](TObject*) {
    uint32_t from = 0;
    ByteString data;
    l.u.ReceiveText(from, data);
    rest_of_handler = true;
  };
  l.u.OnError = [&](TObject*, int32_t code) { errors.push_back(code); };
  Peer peer;
  lib.FailNext(Lib::kRecvFrom, ws::WSAECONNRESET);
  ASSERT_TRUE(peer.SendTo(l.port(), "x"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<int32_t>{ws::WSAECONNRESET});
  EXPECT_FALSE(rest_of_handler);
  EXPECT_TRUE(boxes.opened.empty()) << "the silent abort showed a box";

  uint32_t from = 0;
  ByteString data;
  l.u.OnError = nullptr;
  lib.FailNext(Lib::kRecvFrom, ws::WSAECONNRESET);
  try {
    l.u.ReceiveText(from, data);
    ADD_FAILURE() << "no error raised";
  } catch (const EUSUError& e) {
    EXPECT_EQ(std::string(e.what()), SocketErrorMessage(ws::WSAECONNRESET, "RecvFrom"));
  }
  EXPECT_EQ(from, ws::kInaddrNone);
}

TEST(UdpSockUtilReceive, PendingBytesFailureReportsIOCtlSocket) {
  Lib lib;
  Listening l;
  lib.FailNext(Lib::kIoctl, ws::WSAENOTSOCK);
  try {
    l.u.PendingBytes();
    ADD_FAILURE() << "no error raised";
  } catch (const EUSUError& e) {
    EXPECT_EQ(std::string(e.what()), SocketErrorMessage(ws::WSAENOTSOCK, "IOCtlSocket"));
  }
  std::vector<int32_t> errors;
  l.u.OnError = [&](TObject*, int32_t code) { errors.push_back(code); };
  Peer peer;
  ASSERT_TRUE(peer.SendTo(l.port(), "abc"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return l.u.PendingBytes() == 3; }));
  lib.FailNext(Lib::kIoctl, ws::WSAENOTSOCK);
  EXPECT_EQ(l.u.PendingBytes(), 0);
  EXPECT_EQ(errors, std::vector<int32_t>{ws::WSAENOTSOCK});
  // A datagram the count missed is still read whole, never cut to the count.
  lib.FailNext(Lib::kIoctl, ws::WSAENOTSOCK);
  uint32_t from = 0;
  ByteString data;
  l.u.ReceiveText(from, data);
  EXPECT_EQ(data, "abc");
  EXPECT_EQ(from, nettest::Loopback());
}

TEST(UdpSockUtilReceive, NoticesWithAnErrorOrForCloseRaiseNoEvent) {
  qbtest::RecordingPresenter boxes;
  Lib lib;
  Listening l;
  int receives = 0, writes = 0;
  l.u.OnReceive = [&](TObject*) { ++receives; };
  l.u.OnWriteReady = [&](TObject*) { ++writes; };
  // The write notice after registration comes first.
  ASSERT_TRUE(qbtest::PumpUntil([&] { return writes == 1; }));

  ASSERT_TRUE(lib.PostNotice(l.u.EndpointSocket(), ws::kFdRead, ws::WSAENETDOWN));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !boxes.opened.empty(); }));
  EXPECT_EQ(boxes.opened[0], ErrorBoxText(SocketErrorMessage(ws::WSAENETDOWN, "MessageHandler")));

  std::vector<int32_t> errors;
  l.u.OnError = [&](TObject*, int32_t code) { errors.push_back(code); };
  ASSERT_TRUE(lib.PostNotice(l.u.EndpointSocket(), ws::kFdWrite, ws::WSAENETRESET));
  ASSERT_TRUE(lib.PostNotice(l.u.EndpointSocket(), ws::kFdClose, 0));
  ASSERT_TRUE(lib.PostNotice(l.u.EndpointSocket(), ws::kFdRead, 0));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return receives == 1; }));
  EXPECT_EQ(errors, std::vector<int32_t>{ws::WSAENETRESET});
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(boxes.opened.size(), 1u);
}

TEST(UdpSockUtilReceive, TenThousandMixedDatagramsAreAllAnnouncedAndReadInOrder) {
  Listening l;
  Intake intake(l.u);
  Peer peer;
  constexpr int kCount = 10000;
  // Every payload starts with its number; every seventh is empty and is counted by position.
  auto payload = [](int i) -> std::string {
    if (i % 7 == 3) return "";
    std::string s = std::to_string(i) + ":";
    s.append(static_cast<size_t>((i * 37) % 1400), static_cast<char>(i & 0xFF));
    return s;
  };
  // The peer sends from its own thread as fast as loopback takes them, keeping at most a
  // window of datagrams unread so that the receive buffer is not simply overrun; if the
  // reader falls behind anyway the sender goes on after a short wait and the kernel drops.
  std::mutex m;
  std::condition_variable cv;
  int read = 0;
  intake.on_read = [&] {
    std::lock_guard lock(m);
    ++read;
    cv.notify_one();
  };
  std::atomic<bool> send_failed{false};
  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) {
      {
        std::unique_lock lock(m);
        cv.wait_for(lock, 20ms, [&] { return i - read < 64; });
      }
      if (!peer.SendTo(l.port(), payload(i))) send_failed = true;
    }
  });
  qbtest::PumpUntil(
      [&] {
        std::lock_guard lock(m);
        return read == kCount;
      },
      60s);
  sender.join();
  ASSERT_FALSE(send_failed);
  // A final marker, repeated until it arrives: once it is read, everything delivered before
  // it has been read too.
  auto marker_read = [&] { return !intake.got.empty() && intake.got.back().data == "END"; };
  for (int tries = 0; tries < 30 && !marker_read(); ++tries) {
    ASSERT_TRUE(peer.SendTo(l.port(), "END"));
    qbtest::PumpUntil(marker_read, 2s);
  }
  ASSERT_TRUE(marker_read());
  // Every notice read a datagram, and every datagram read came with its own notice.
  EXPECT_EQ(intake.notices, static_cast<int>(intake.got.size()));
  while (!intake.got.empty() && intake.got.back().data == "END") intake.got.pop_back();

  // Every delivered datagram in order with exact bytes; empty ones fit between their
  // numbered neighbours.
  int expect_next = 0;
  for (const Got& g : intake.got) {
    ASSERT_EQ(g.from, nettest::Loopback());
    if (g.data.empty()) {
      // An empty datagram may stand only where an empty one was sent, at or after expect_next.
      while (expect_next < kCount && payload(expect_next) != "") ++expect_next;
      ASSERT_LT(expect_next, kCount) << "an empty datagram that was never sent";
      ++expect_next;
      continue;
    }
    int n = std::stoi(g.data.substr(0, g.data.find(':')));
    ASSERT_GE(n, expect_next) << "out of order";
    ASSERT_EQ(g.data, payload(n));
    expect_next = n + 1;
  }
  EXPECT_EQ(l.u.PendingBytes(), 0);
  EXPECT_LE(intake.got.size(), static_cast<size_t>(kCount));
  EXPECT_GT(intake.got.size(), static_cast<size_t>(kCount / 2)) << "most datagrams were lost";
  RecordProperty("delivered", static_cast<int>(intake.got.size()));
  std::printf("delivered %zu of %d datagrams\n", intake.got.size(), kCount);
}
