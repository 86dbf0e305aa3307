#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/fake/scriptedsocketlib.h"
#include "net/socketlib.h"
#include "net/udpsockutil.h"
#include "tests/common/testsupport.h"
#include "tests/net/netsupport.h"

using namespace qb;

namespace {

// A datagram socket of the real library bound to a free port on every interface.
TSocket BoundSocket(SocketLibrary& lib) {
  TSocket s = lib.socket(ws::kAfInet, ws::kSockDgram, 0);
  SockAddrIn addr;
  addr.sin_family = ws::kAfInet;
  if (s != ws::kInvalidSocket && lib.bind(s, &addr, sizeof addr) != 0) {
    lib.closesocket(s);
    return ws::kInvalidSocket;
  }
  return s;
}

// One receive into room for short test datagrams; nothing when the call fails.
std::optional<std::string> Receive(SocketLibrary& lib, TSocket s) {
  char buf[16];
  SockAddrIn from;
  int fromlen = sizeof from;
  const int n = lib.recvfrom(s, buf, sizeof buf, 0, &from, &fromlen);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

TEST(SocketLibrary, NativeErrorsUseWinsockNumbers) {
  EXPECT_EQ(ws::ErrnoToWinsock(EADDRINUSE), 10048);
  EXPECT_EQ(ws::ErrnoToWinsock(EWOULDBLOCK), 10035);
  EXPECT_EQ(ws::ErrnoToWinsock(EAGAIN), 10035);
  EXPECT_EQ(ws::ErrnoToWinsock(EINVAL), 10022);
  EXPECT_EQ(ws::ErrnoToWinsock(EACCES), 10013);
  EXPECT_EQ(ws::ErrnoToWinsock(EMSGSIZE), 10040);
  EXPECT_EQ(ws::ErrnoToWinsock(ENETUNREACH), 10051);
  EXPECT_EQ(ws::ErrnoToWinsock(ECONNREFUSED), 10061);
  EXPECT_EQ(ws::WinsockToErrno(10048), EADDRINUSE);
}

TEST(SocketLibrary, ErrorTextIsTheSystemsWithoutTrailingNoise) {
  std::string expected = std::strerror(EADDRINUSE);
  while (!expected.empty() && (expected.back() == '.' || expected.back() == ' '))
    expected.pop_back();
  EXPECT_EQ(SocketErrorText(10048), expected);
  EXPECT_EQ(SocketErrorMessage(10048, "Bind"),
            "Windows-Socket-Fehler: " + expected + " (10048), auf API 'Bind'");

  struct Noisy : ScriptedSocketLibrary {
    std::string ErrorText(int) override { return "Kaputt. \r\n\t. "; }
  } noisy;
  EXPECT_EQ(SocketErrorText(1), "Kaputt");
  struct Long : ScriptedSocketLibrary {
    std::string ErrorText(int) override { return std::string(300, 'x'); }
  } long_text;
  EXPECT_EQ(SocketErrorText(1).size(), 256u);
}

TEST(SocketLibrary, AddressTextBothWays) {
  auto& lib = RealSocketLibrary();
  EXPECT_EQ(lib.inet_addr("255.255.255.255"), ws::kInaddrNone);
  EXPECT_EQ(lib.inet_addr("not an address"), ws::kInaddrNone);
  std::uint32_t a = lib.inet_addr("192.0.2.20");
  EXPECT_EQ(inet_ntoa(a), "192.0.2.20");
  EXPECT_EQ(lib.inet_ntoa(ws::kInaddrNone), "255.255.255.255");
  EXPECT_EQ(inet_ntoa(nettest::Loopback()), "127.0.0.1");
  EXPECT_FALSE(lib.gethostbyname("no-such-host.invalid"));
  auto local = lib.gethostbyname("localhost");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->h_addr_list.front(), nettest::Loopback());
}

TEST(SocketLibrary, CleanupWithoutStartupFails) {
  auto& lib = RealSocketLibrary();
  // Balance whatever else holds the library so the count can reach zero.
  int held = 0;
  while (lib.WSACleanup() == 0) ++held;
  EXPECT_EQ(lib.WSAGetLastError(), ws::WSANOTINITIALISED);
  WSAData d;
  for (int i = 0; i < held; ++i) ASSERT_EQ(lib.WSAStartup(0x0101, &d), 0);
}

// The notice rules the endpoint relies on: one write notice after registration, one read
// notice until a receive call is made, the socket non-blocking afterwards.
TEST(SocketLibrary, ReadinessNoticesFollowTheRepostingRules) {
  auto& lib = RealSocketLibrary();
  std::vector<std::pair<TSocket, LPARAM>> notices;
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM w, LPARAM l) {
    if (msg == 0x1667) notices.emplace_back(w, l);
    return LRESULT{0};
  });
  TSocket s = BoundSocket(lib);
  ASSERT_NE(s, ws::kInvalidSocket);
  const std::uint16_t port = nettest::BoundPort(s);
  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0x1667, 0x23), 0);

  ASSERT_TRUE(qbtest::PumpUntil([&] { return notices.size() == 1; }));
  EXPECT_EQ(notices[0], std::make_pair(s, ws::MakeSelectLParam(ws::kFdWrite, 0)));

  // Non-blocking now: nothing queued is would-block, not a wait.
  char buf[16];
  SockAddrIn from;
  int fromlen = sizeof from;
  EXPECT_EQ(lib.recvfrom(s, buf, sizeof buf, 0, &from, &fromlen), ws::kSocketError);
  EXPECT_EQ(lib.WSAGetLastError(), ws::WSAEWOULDBLOCK);

  nettest::Peer peer;
  ASSERT_TRUE(peer.SendTo(port, "one"));
  ASSERT_TRUE(peer.SendTo(port, "two"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return notices.size() == 2; }));
  EXPECT_EQ(notices[1].second, ws::MakeSelectLParam(ws::kFdRead, 0));
  qbtest::PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(notices.size(), 2u) << "a second read notice came before any receive call";

  std::uint32_t pending = 0;
  ASSERT_EQ(lib.ioctlsocket(s, ws::kFionread, &pending), 0);
  EXPECT_EQ(pending, 3u);
  EXPECT_EQ(lib.recvfrom(s, buf, sizeof buf, 0, &from, &fromlen), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(from.sin_addr, nettest::Loopback());
  // "two" is still queued, so the receive brings a new notice.
  ASSERT_TRUE(qbtest::PumpUntil([&] { return notices.size() == 3; }));
  EXPECT_EQ(notices[2].second, ws::MakeSelectLParam(ws::kFdRead, 0));

  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0, 0), 0);
  EXPECT_EQ(lib.recvfrom(s, buf, sizeof buf, 0, &from, &fromlen), 3);
  ASSERT_TRUE(peer.SendTo(port, "three"));
  qbtest::PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(notices.size(), 3u) << "a notice after the registration was cancelled";
  EXPECT_EQ(lib.closesocket(s), 0);
  DeallocateHWnd(wnd);
}

TEST(SocketLibrary, QueuedDatagramsAreAnnouncedInOnePassAndAHandlerMayCloseTheSocket) {
  auto& lib = RealSocketLibrary();
  TSocket s = BoundSocket(lib);
  ASSERT_NE(s, ws::kInvalidSocket);
  const std::uint16_t port = nettest::BoundPort(s);
  std::vector<std::string> got;
  bool close_on_next = false;
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM, LPARAM l) {
    if (msg != 0x1667 || l != ws::MakeSelectLParam(ws::kFdRead, 0)) return LRESULT{0};
    if (auto datagram = Receive(lib, s)) got.push_back(*datagram);
    if (close_on_next) lib.closesocket(s);  // from inside its own notice
    return LRESULT{0};
  });
  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0x1667, ws::kFdRead), 0);

  nettest::Peer peer;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(peer.SendTo(port, std::to_string(i)));
  // Each notice is answered by a receive, so the next follows at once: one pass of the event
  // loop announces all ten, one datagram per notice, in order.
  QCoreApplication::processEvents();
  EXPECT_EQ(got.size(), 10u);
  for (int i = 0; i < static_cast<int>(got.size()); ++i) EXPECT_EQ(got[i], std::to_string(i));

  close_on_next = true;
  ASSERT_TRUE(peer.SendTo(port, "a"));
  ASSERT_TRUE(peer.SendTo(port, "b"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return got.size() == 11; }));
  qbtest::PumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(got.size(), 11u) << "a notice for a socket its handler had closed";
  DeallocateHWnd(wnd);
}

// Inside a burst, each datagram after the first is already read when its notice comes; every
// way a handler may take it must see the datagram the kernel would have handed it.
TEST(SocketLibrary, EveryWayOfReadingSeesTheNextDatagramWithinABurst) {
  auto& lib = RealSocketLibrary();
  TSocket s = BoundSocket(lib);
  ASSERT_NE(s, ws::kInvalidSocket);
  const std::uint16_t port = nettest::BoundPort(s);

  enum class Way { Plain, SizeFirst, PeekFirst, ShortBuffer };
  struct Row {
    Way way;
    std::string sent;
    std::string wanted;
  };
  const std::vector<Row> rows = {
      {Way::Plain, "one", "one"},
      {Way::SizeFirst, "second datagram", "second datagram"},
      {Way::PeekFirst, "three", "three"},
      {Way::ShortBuffer, "a long fourth one", "a lo"},
      {Way::Plain, "", ""},
      {Way::SizeFirst, "", ""},
      {Way::PeekFirst, std::string(1400, 'x'), std::string(1400, 'x')},
      {Way::Plain, "last", "last"},
  };
  std::vector<std::string> got;
  std::vector<std::uint32_t> sizes;
  bool close_unread = false;
  bool closed = false;
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM, LPARAM l) {
    if (msg != 0x1667 || l != ws::MakeSelectLParam(ws::kFdRead, 0)) return LRESULT{0};
    if (close_unread && got.size() == 1) {
      closed = lib.closesocket(s) == 0;
      return LRESULT{0};
    }
    const Row& row = rows[got.size()];
    std::vector<char> buf(2048);
    SockAddrIn from;
    int fromlen = sizeof from;
    std::uint32_t size = 0;
    int n = -1;
    switch (row.way) {
      case Way::Plain:
        n = lib.recvfrom(s, buf.data(), static_cast<int>(buf.size()), 0, &from, &fromlen);
        break;
      case Way::SizeFirst:
        lib.ioctlsocket(s, ws::kFionread, &size);
        sizes.push_back(size);
        n = lib.recvfrom(s, buf.data(), static_cast<int>(size), 0, &from, &fromlen);
        break;
      case Way::PeekFirst:
        lib.recvfrom(s, buf.data(), static_cast<int>(buf.size()), ws::kMsgPeek, &from, &fromlen);
        std::fill(buf.begin(), buf.end(), '\0');
        n = lib.recvfrom(s, buf.data(), static_cast<int>(buf.size()), 0, &from, &fromlen);
        break;
      case Way::ShortBuffer:
        n = lib.recvfrom(s, buf.data(), 4, 0, &from, &fromlen);
        break;
    }
    EXPECT_EQ(from.sin_addr, nettest::Loopback());
    got.emplace_back(buf.data(), static_cast<size_t>(std::max(n, 0)));
    return LRESULT{0};
  });
  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0x1667, ws::kFdRead), 0);

  nettest::Peer peer;
  for (const Row& row : rows) ASSERT_TRUE(peer.SendTo(port, row.sent));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return got.size() == rows.size(); }));
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(got[i], rows[i].wanted) << "row " << i;
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{15, 0}));

  // Nothing read ahead outlives its socket: closed with a datagram read ahead, the number's
  // next socket starts empty.
  got.clear();
  close_unread = true;
  ASSERT_TRUE(peer.SendTo(port, "after"));
  ASSERT_TRUE(peer.SendTo(port, "after, too"));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return closed; }));
  TSocket again = lib.socket(ws::kAfInet, ws::kSockDgram, 0);
  ASSERT_EQ(again, s);
  char buf[16];
  SockAddrIn from;
  int fromlen = sizeof from;
  EXPECT_EQ(lib.recvfrom(again, buf, sizeof buf, ws::kMsgDontWait, &from, &fromlen),
            ws::kSocketError);
  EXPECT_EQ(lib.WSAGetLastError(), ws::WSAEWOULDBLOCK);
  EXPECT_EQ(lib.closesocket(again), 0);
  DeallocateHWnd(wnd);
}

// A burst is taken off the socket ahead of its notices. A handler that leaves a notice unread
// and receives later, outside any notice, must still hear of every datagram held behind it,
// though the socket itself shows nothing queued any more.
TEST(SocketLibrary, DatagramsHeldAheadOfAnUnreadNoticeAreAnnouncedAfterTheNextReceive) {
  auto& lib = RealSocketLibrary();
  TSocket s = BoundSocket(lib);
  ASSERT_NE(s, ws::kInvalidSocket);
  const std::uint16_t port = nettest::BoundPort(s);
  auto receive = [&] { return Receive(lib, s).value_or("(none)"); };
  int notices = 0;
  bool reading = false;
  std::vector<std::string> got;
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM, LPARAM l) {
    if (msg != 0x1667 || l != ws::MakeSelectLParam(ws::kFdRead, 0)) return LRESULT{0};
    ++notices;
    if (reading) got.push_back(receive());
    return LRESULT{0};
  });
  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0x1667, ws::kFdRead), 0);

  nettest::Peer peer;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(peer.SendTo(port, std::to_string(i)));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return notices == 1; }));
  qbtest::PumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(notices, 1) << "a second read notice came before any receive call";

  reading = true;
  EXPECT_EQ(receive(), "0");
  ASSERT_TRUE(qbtest::PumpUntil([&] { return got.size() == 4; }))
      << "announced after the receive: " << got.size() << " of 4";
  EXPECT_EQ(got, (std::vector<std::string>{"1", "2", "3", "4"}));
  qbtest::PumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(got.size(), 4u) << "a notice with nothing left to read";
  EXPECT_EQ(lib.closesocket(s), 0);
  DeallocateHWnd(wnd);
}

// A sender on another thread outruns the handlers: the passes that follow one another this
// closely wait for the queue to fill. Every datagram must still come, once and in order, one per
// notice, and the loop's other work must still get its turns while the burst lasts. The sender
// stays at most kAhead datagrams ahead of the handler, so that no receive buffer, however
// small, can drop one.
TEST(SocketLibrary, ABurstFromAnotherThreadArrivesWholeInOrderAndTheLoopKeepsItsTurns) {
  auto& lib = RealSocketLibrary();
  TSocket s = BoundSocket(lib);
  ASSERT_NE(s, ws::kInvalidSocket);
  const std::uint16_t port = nettest::BoundPort(s);
  constexpr int kCount = 3000, kAhead = 64;
  std::vector<std::string> got;
  std::atomic<int> received{0};
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM, LPARAM l) {
    if (msg != 0x1667 || l != ws::MakeSelectLParam(ws::kFdRead, 0)) return LRESULT{0};
    if (auto datagram = Receive(lib, s)) got.push_back(*datagram);
    received.store(static_cast<int>(got.size()), std::memory_order_release);
    return LRESULT{0};
  });
  ASSERT_EQ(lib.WSAAsyncSelect(s, wnd, 0x1667, ws::kFdRead), 0);
  int turns_during_burst = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (received.load() > 0 && received.load() < kCount) ++turns_during_burst;
  });
  tick.start(0);

  std::atomic<bool> given_up{false};  // the handler stopped hearing: the sender stops too
  std::thread sender([&] {
    nettest::Peer peer;
    auto wait = [&] { std::this_thread::sleep_for(std::chrono::microseconds(20)); };
    for (int i = 0; i < kCount && !given_up; ++i) {
      while (i - received.load(std::memory_order_acquire) >= kAhead && !given_up) wait();
      while (!peer.SendTo(port, std::to_string(i)) && !given_up) wait();
    }
  });
  const bool all = qbtest::PumpUntil([&] { return got.size() >= kCount; });
  given_up = true;
  sender.join();
  tick.stop();
  ASSERT_TRUE(all) << got.size() << " of " << kCount;
  qbtest::PumpFor(std::chrono::milliseconds(20));
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kCount)) << "a datagram announced twice";
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(got[i], std::to_string(i)) << "datagram " << i;
  EXPECT_GT(turns_during_burst, 0) << "the loop had no turn while the burst lasted";
  EXPECT_EQ(lib.closesocket(s), 0);
  DeallocateHWnd(wnd);
}
