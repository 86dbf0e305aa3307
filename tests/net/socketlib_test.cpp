#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <vector>

#include "net/fake/scriptedsocketlib.h"
#include "net/socketlib.h"
#include "net/udpsockutil.h"
#include "tests/common/testsupport.h"
#include "tests/net/netsupport.h"

using namespace qb;

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
  TSocket s = lib.socket(ws::kAfInet, ws::kSockDgram, 0);
  ASSERT_NE(s, ws::kInvalidSocket);
  SockAddrIn addr;
  addr.sin_family = ws::kAfInet;
  ASSERT_EQ(lib.bind(s, &addr, sizeof addr), 0);
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
  TSocket s = lib.socket(ws::kAfInet, ws::kSockDgram, 0);
  ASSERT_NE(s, ws::kInvalidSocket);
  SockAddrIn addr;
  addr.sin_family = ws::kAfInet;
  ASSERT_EQ(lib.bind(s, &addr, sizeof addr), 0);
  const std::uint16_t port = nettest::BoundPort(s);
  std::vector<std::string> got;
  bool close_on_next = false;
  HWND wnd = AllocateHWnd([&](UINT msg, WPARAM, LPARAM l) {
    if (msg != 0x1667 || l != ws::MakeSelectLParam(ws::kFdRead, 0)) return LRESULT{0};
    char buf[16];
    SockAddrIn from;
    int fromlen = sizeof from;
    const int n = lib.recvfrom(s, buf, sizeof buf, 0, &from, &fromlen);
    if (n >= 0) got.emplace_back(buf, static_cast<size_t>(n));
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
