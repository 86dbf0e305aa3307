#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/fake/scriptedsocketlib.h"
#include "net/udpsockutil.h"
#include "tests/common/testsupport.h"
#include "tests/net/netsupport.h"

using namespace qb;
using nettest::Peer;
using Lib = ScriptedSocketLibrary;

namespace {

// Runs f and returns the text of the EUSUError it raises ("" when it raises nothing).
template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (const EUSUError& e) {
    return e.what();
  }
  return "";
}

struct Errors {
  std::vector<int32_t> codes;
  TUSUErrorEvent Handler() {
    return [this](TObject*, int32_t code) { codes.push_back(code); };
  }
};

std::string Format(int code, const std::string& op) {
  return SocketErrorMessage(code, op);
}

}  // namespace

TEST(UdpSockUtilSend, TextsAreSlicedInto512ByteDatagramsFromTheListeningPort) {
  Peer peer;
  TUdpSockUtil u(nullptr);
  const uint16_t port = nettest::FreePort();
  u.SetLocalPort(port);
  u.SetListening(true);
  ASSERT_TRUE(u.Listening());
  u.SetRemoteHost("127.0.0.1");
  u.SetRemotePort(peer.port());

  EXPECT_EQ(u.SendText(""), 0);
  std::string reply("/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25);
  EXPECT_EQ(u.SendText(reply), 25);
  auto d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data, reply) << "the empty text must not have sent a datagram";
  EXPECT_EQ(d->port, port);
  EXPECT_EQ(d->addr, nettest::Loopback());

  std::string text;
  for (int i = 0; i < 1024; ++i) text.push_back(static_cast<char>(i % 7 == 0 ? 0 : 'a' + i % 26));
  struct Case {
    size_t length;
    std::vector<size_t> slices;
  };
  for (const Case& c : {Case{512, {512}}, Case{513, {512, 1}}, Case{1024, {512, 512}}}) {
    EXPECT_EQ(u.SendText(text.substr(0, c.length)), static_cast<int32_t>(c.length));
    size_t at = 0;
    for (size_t slice : c.slices) {
      auto got = peer.Receive();
      ASSERT_TRUE(got) << c.length;
      EXPECT_EQ(got->data, text.substr(at, slice)) << c.length;
      EXPECT_EQ(got->port, port);
      at += slice;
    }
  }
  EXPECT_FALSE(peer.Receive(std::chrono::milliseconds(50))) << "more datagrams than slices";
}

TEST(UdpSockUtilSend, BroadcastGoesFromAnEphemeralPortWithTheOption) {
  Lib lib;
  Peer peer(true);
  TUdpSockUtil u(nullptr);
  const uint16_t port = nettest::FreePort();
  u.SetLocalPort(port);
  u.SetListening(true);
  u.SetBroadcast(true);
  u.SetRemotePort(peer.port());
  Errors errors;
  u.OnError = errors.Handler();
  // A machine with only loopback has no route for the all-ones address; the send may then be
  // refused, but the socket it went out on is still the one to check.
  int32_t sent = 0;
  try {
    sent = u.SendText("hello");
  } catch (const EAbort&) {
  }
  ASSERT_NE(u.BroadcastSocket(), ws::kInvalidSocket);
  EXPECT_NE(u.BroadcastSocket(), u.EndpointSocket());
  EXPECT_TRUE(nettest::BroadcastOptionSet(u.BroadcastSocket()));
  EXPECT_NE(nettest::BoundPort(u.BroadcastSocket()), 0);
  EXPECT_NE(nettest::BoundPort(u.BroadcastSocket()), port);
  ASSERT_FALSE(lib.binds.empty());
  EXPECT_EQ(lib.binds.back().port, 0);
  if (sent == 5) {
    ASSERT_EQ(lib.sent_from.size(), 1u);
    EXPECT_EQ(lib.sent_from[0], u.BroadcastSocket());
    if (auto d = peer.Receive(std::chrono::milliseconds(500))) {
      EXPECT_EQ(d->data, "hello");
      EXPECT_NE(d->port, port);
    }
  } else {
    EXPECT_EQ(errors.codes, std::vector<int32_t>{ws::WSAENETUNREACH});
  }
}

TEST(UdpSockUtilSend, AllOnesWithoutBroadcastIsRefusedAsSendTo) {
  Peer peer;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(nettest::FreePort());
  u.SetRemotePort(peer.port());
  // Never written: the destination is the all-ones address.
  EXPECT_EQ(u.RemoteAddress(), ws::kInaddrNone);
  // Refused as a broadcast without the option, or, on a host with no route out (a private
  // network namespace, say), as unreachable.
  const std::string refused = Raised([&] { u.SendText("x"); });
  const int code =
      refused == Format(ws::WSAENETUNREACH, "SendTo") ? ws::WSAENETUNREACH : ws::WSAEACCES;
  EXPECT_EQ(refused, Format(code, "SendTo"));

  u.SetBroadcast(true);
  u.SetBroadcast(false);
  EXPECT_EQ(u.RemoteHost(), "255.255.255.255");
  EXPECT_EQ(u.RemoteAddress(), ws::kInaddrNone);
  Errors errors;
  bool after_abort = false;
  u.OnError = errors.Handler();
  EXPECT_THROW(
      {
        u.SendText("x");
        after_abort = true;
      },
      EAbort);
  EXPECT_FALSE(after_abort);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{code});
}

TEST(UdpSockUtilSend, FailedSendIsReportedThenAbortsAndStillClosesInactiveSockets) {
  Lib lib;
  Peer peer;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(nettest::FreePort());
  u.SetRemoteHost("127.0.0.1");
  u.SetRemotePort(peer.port());
  u.SetCloseInactiveSockets(true);
  Errors errors;
  u.OnError = errors.Handler();
  lib.FailNext(Lib::kSendTo, ws::WSAENOBUFS);
  EXPECT_THROW(u.SendText("x"), EAbort);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{ws::WSAENOBUFS});
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket), 1);

  // Would-block is silent: nothing sent, nothing reported, no abort.
  lib.FailNext(Lib::kSendTo, ws::WSAEWOULDBLOCK);
  EXPECT_EQ(u.SendText("x"), 0);
  EXPECT_EQ(errors.codes.size(), 1u);

  // A send while closed opens a socket and closes it again at once.
  EXPECT_EQ(u.SendText("y"), 1);
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  auto d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data, "y");
}

TEST(UdpSockUtilSend, BroadcastOptionFailureLeavesNoSocket) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  u.SetBroadcast(true);
  lib.FailNext(Lib::kSetSockOpt, ws::WSAENOPROTOOPT);
  EXPECT_EQ(Raised([&] { u.SendText("x"); }), Format(ws::WSAENOPROTOOPT, "SetSockOpt"));
  EXPECT_EQ(u.BroadcastSocket(), ws::kInvalidSocket);
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket), 1);
  EXPECT_EQ(lib.Calls(Lib::kSendTo), 0);

  Errors errors;
  u.OnError = errors.Handler();
  lib.FailNext(Lib::kSetSockOpt, ws::WSAENOPROTOOPT);
  EXPECT_EQ(u.SendText("x"), 0);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{ws::WSAENOPROTOOPT});
  EXPECT_EQ(u.BroadcastSocket(), ws::kInvalidSocket);

  lib.FailNext(Lib::kSocket, ws::WSAEMFILE);
  EXPECT_EQ(u.SendText("x"), 0);
  EXPECT_EQ(errors.codes.back(), ws::WSAEMFILE);
  u.OnError = nullptr;
  lib.FailNext(Lib::kSocket, ws::WSAEMFILE);
  EXPECT_EQ(Raised([&] { u.SendText("x"); }), "Es kann kein neuer Socket erzeugt werden");
  EXPECT_EQ(u.BroadcastSocket(), ws::kInvalidSocket);
}

TEST(UdpSockUtilProperties, RemoteHostAndBroadcastRules) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  EXPECT_EQ(u.RemoteHost(), "");
  EXPECT_EQ(u.RemoteAddress(), ws::kInaddrNone);

  u.SetRemoteHost("192.0.2.20");
  EXPECT_EQ(u.RemoteAddress(), RealSocketLibrary().inet_addr("192.0.2.20"));
  EXPECT_FALSE(u.Broadcast());
  lib.ResetCalls();
  u.SetRemoteHost("192.0.2.20");
  EXPECT_EQ(lib.Calls(Lib::kInetAddr), 0) << "the same text is looked up again";

  u.SetRemoteHost("localhost");
  EXPECT_EQ(u.RemoteAddress(), nettest::Loopback());
  EXPECT_EQ(u.RemoteHost(), "localhost");

  u.SetRemoteHost("no-such-host.invalid");
  EXPECT_TRUE(u.Broadcast());
  EXPECT_EQ(u.RemoteHost(), "255.255.255.255");
  EXPECT_EQ(u.RemoteAddress(), ws::kInaddrNone);

  // While broadcasting, a dotted host is stored but sends still go to all ones.
  u.SetRemoteHost("127.0.0.1");
  EXPECT_TRUE(u.Broadcast());
  EXPECT_EQ(u.RemoteHost(), "127.0.0.1");
  EXPECT_EQ(u.RemoteAddress(), nettest::Loopback());
  Errors errors;
  u.OnError = errors.Handler();  // the all-ones address may be unroutable here
  u.SetRemotePort(9);
  try {
    u.SendText("x");
  } catch (const EAbort&) {
  }
  EXPECT_NE(u.BroadcastSocket(), ws::kInvalidSocket) << "the send did not go out as broadcast";
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);

  u.SetBroadcast(false);
  u.SetRemoteHost("255.255.255.255");
  EXPECT_TRUE(u.Broadcast());
  EXPECT_EQ(u.RemoteAddress(), ws::kInaddrNone);
  u.SetBroadcast(false);
  EXPECT_EQ(u.RemoteHost(), "255.255.255.255");
  EXPECT_FALSE(u.Broadcast());
}

TEST(UdpSockUtilListen, PortZeroIsRefusedWithoutOpeningAnything) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  EXPECT_EQ(Raised([&] { u.SetListening(true); }), "UDP-Listen mit Port 0 nicht unterstützt!");
  EXPECT_FALSE(u.Listening());
  Errors errors;
  u.OnError = errors.Handler();
  u.SetListening(true);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{10022});
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(lib.Calls(Lib::kSocket), 0);
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
}

TEST(UdpSockUtilListen, SwitchingIsIdempotentAndReusesTheBoundSocket) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  const uint16_t port = nettest::FreePort();
  u.SetLocalPort(port);
  EXPECT_EQ(lib.Calls(Lib::kSocket), 0) << "writing the port alone opens nothing";
  u.SetListening(false);
  EXPECT_EQ(lib.Calls(Lib::kAsyncSelect), 0);
  u.SetListening(true);
  u.SetListening(true);
  EXPECT_TRUE(u.Listening());
  EXPECT_NE(u.NotifyWindow(), kNoWindow);
  EXPECT_EQ(lib.binds.size(), 1u);
  EXPECT_EQ(lib.Calls(Lib::kAsyncSelect), 1);
  const TSocket s = u.EndpointSocket();

  u.SetListening(false);
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
  EXPECT_EQ(u.EndpointSocket(), s);
  EXPECT_EQ(nettest::BoundPort(s), port);
  u.SetListening(true);
  EXPECT_TRUE(u.Listening());
  EXPECT_EQ(u.EndpointSocket(), s);
  EXPECT_EQ(lib.binds.size(), 1u) << "listening again bound a second time";
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket), 0);
}

TEST(UdpSockUtilListen, WritingLocalPortMovesTheEndpoint) {
  Lib lib;
  Peer peer;
  TUdpSockUtil u(nullptr);
  int received = 0;
  u.OnReceive = [&](TObject* sender) {
    EXPECT_EQ(sender, &u);
    uint32_t from = 0;
    ByteString data;
    u.ReceiveText(from, data);
    if (data == "ping") ++received;
  };
  const uint16_t first = nettest::FreePort();
  u.SetLocalPort(first);
  u.SetListening(true);
  lib.ResetCalls();
  u.SetLocalPort(first);
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket) + lib.Calls(Lib::kAsyncSelect), 0);

  const uint16_t second = nettest::FreePort();
  u.SetLocalPort(second);
  EXPECT_TRUE(u.Listening());
  EXPECT_EQ(nettest::BoundPort(u.EndpointSocket()), second);
  ASSERT_TRUE(peer.SendTo(second, "ping"));
  EXPECT_TRUE(qbtest::PumpUntil([&] { return received == 1; }));

  // Not listening: the kept socket is closed and the next send binds the new port.
  u.SetListening(false);
  const uint16_t third = nettest::FreePort();
  u.SetLocalPort(third);
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  EXPECT_FALSE(u.Listening());
  u.SetRemoteHost("127.0.0.1");
  u.SetRemotePort(peer.port());
  EXPECT_EQ(u.SendText("from third"), 10);
  auto d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->port, third);
}

TEST(UdpSockUtilListen, CloseInactiveSocketsClosesWhatIsNotListening) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(nettest::FreePort());
  Errors errors;
  u.OnError = errors.Handler();  // the broadcast send may be unroutable here
  u.SetRemotePort(9);
  u.SetBroadcast(true);
  try {
    u.SendText("b");
  } catch (const EAbort&) {
  }
  u.SetBroadcast(false);
  u.SetRemoteHost("127.0.0.1");
  u.SendText("e");
  ASSERT_NE(u.BroadcastSocket(), ws::kInvalidSocket);
  ASSERT_NE(u.EndpointSocket(), ws::kInvalidSocket);
  u.SetCloseInactiveSockets(true);
  EXPECT_EQ(u.BroadcastSocket(), ws::kInvalidSocket);
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);

  // The listening socket is never closed by the rule, but goes when listening stops.
  u.SetListening(true);
  u.SetCloseInactiveSockets(false);
  u.SetCloseInactiveSockets(true);
  EXPECT_NE(u.EndpointSocket(), ws::kInvalidSocket);
  u.SendText("e");
  EXPECT_NE(u.EndpointSocket(), ws::kInvalidSocket);
  u.SetListening(false);
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  // Switching the rule off closes nothing.
  u.SendText("e");
  u.SetCloseInactiveSockets(false);
  lib.ResetCalls();
  u.SendText("e");
  EXPECT_NE(u.EndpointSocket(), ws::kInvalidSocket);
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket), 0);
}

TEST(UdpSockUtilListen, PortInUseIsReportedAsBindAndLeavesNothingOpen) {
  Peer holder(true);
  Lib lib;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(holder.port());
  EXPECT_EQ(Raised([&] { u.SetListening(true); }), Format(10048, "Bind"));
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
  EXPECT_EQ(lib.Calls(Lib::kSocket), lib.Calls(Lib::kCloseSocket));

  Errors errors;
  u.OnError = errors.Handler();
  u.SetListening(true);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{10048});
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
  EXPECT_EQ(lib.Calls(Lib::kSocket), lib.Calls(Lib::kCloseSocket));
}

TEST(UdpSockUtilListen, RegistrationAndCancelFailuresFreeTheWindow) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(nettest::FreePort());
  lib.FailNext(Lib::kAsyncSelect, ws::WSAENETDOWN);
  EXPECT_EQ(Raised([&] { u.SetListening(true); }), Format(ws::WSAENETDOWN, "WSAAsyncSelect"));
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
  EXPECT_NE(u.EndpointSocket(), ws::kInvalidSocket) << "the socket stays open";

  Errors errors;
  u.OnError = errors.Handler();
  lib.FailNext(Lib::kAsyncSelect, ws::WSAENETDOWN);
  u.SetListening(true);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{ws::WSAENETDOWN});
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);

  u.SetListening(true);
  ASSERT_TRUE(u.Listening());
  u.SetCloseInactiveSockets(true);
  lib.FailNext(Lib::kAsyncSelect, ws::WSAENETDOWN);
  u.SetListening(false);
  EXPECT_EQ(errors.codes.size(), 2u);
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);

  u.OnError = nullptr;
  u.SetListening(true);
  lib.FailNext(Lib::kAsyncSelect, ws::WSAENETDOWN);
  EXPECT_EQ(Raised([&] { u.SetListening(false); }), Format(ws::WSAENETDOWN, "WSAAsyncSelect"));
  EXPECT_FALSE(u.Listening());
  EXPECT_EQ(u.NotifyWindow(), kNoWindow);
}

TEST(UdpSockUtilListen, CloseFailureIsReportedAndEmptiesTheSlot) {
  Lib lib;
  TUdpSockUtil u(nullptr);
  u.SetLocalPort(nettest::FreePort());
  u.SetListening(true);
  u.SetListening(false);
  lib.FailNext(Lib::kCloseSocket, ws::WSAENOTSOCK);
  EXPECT_EQ(Raised([&] { u.SetCloseInactiveSockets(true); }),
            Format(ws::WSAENOTSOCK, "CloseSocket"));
  EXPECT_EQ(u.EndpointSocket(), ws::kInvalidSocket);
}

TEST(UdpSockUtilLifetime, LibraryStartAndStopFailuresRaise) {
  Lib lib;
  lib.FailNext(Lib::kStartup, ws::WSASYSNOTREADY);
  EXPECT_EQ(Raised([] { TUdpSockUtil u(nullptr); }), Format(ws::WSASYSNOTREADY, "WSAStartup"));
  EXPECT_EQ(lib.Calls(Lib::kCleanup), 0);
  StartSocketLibrary();
  lib.FailNext(Lib::kCleanup, ws::WSAEINPROGRESS);
  EXPECT_EQ(Raised([] { StopSocketLibrary(); }), Format(ws::WSAEINPROGRESS, "WSACleanup"));
  StopSocketLibrary();
}

TEST(UdpSockUtilLifetime, DestructionNeverCallsOnErrorAndClosesEverything) {
  qbtest::RecordingPresenter boxes;
  Lib lib;
  Errors errors;
  {
    TComponent owner(nullptr);
    auto* u = new TUdpSockUtil(&owner);
    u->SetLocalPort(nettest::FreePort());
    u->SetListening(true);
    u->SetRemoteHost("127.0.0.1");
    u->SetRemotePort(9);
    u->SendText("x");
    u->OnError = errors.Handler();
    lib.FailNext(Lib::kAsyncSelect, ws::WSAENETDOWN);
    lib.FailNext(Lib::kCloseSocket, ws::WSAENOTSOCK);
  }
  EXPECT_TRUE(errors.codes.empty());
  // Without OnError the failures are raised; a destructor shows them and goes on.
  ASSERT_FALSE(boxes.opened.empty());
  EXPECT_EQ(boxes.opened[0], ErrorBoxText(Format(ws::WSAENETDOWN, "WSAAsyncSelect")));
  EXPECT_EQ(lib.Calls(Lib::kCloseSocket), 1);
  EXPECT_EQ(lib.Calls(Lib::kCleanup), 1);
}
