#include "net/udpsockutil.h"

#include <algorithm>
#include <cstring>

namespace qb {

namespace {

constexpr std::int32_t kSelectEvents = ws::kFdRead | ws::kFdWrite | ws::kFdClose;  // 0x23
constexpr int32_t kSendSlice = 512;
constexpr int32_t kLargestDatagram = 65536;
// Room for a burst of back-to-back datagrams while the user-interface thread is busy.
constexpr int32_t kReceiveBufferWanted = 1 << 20;

WSAData g_wsa_data;  // filled by the library, never read

uint16_t HostToNet16(uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v & 0xFF)};
  uint16_t n;
  std::memcpy(&n, b, 2);
  return n;
}

}  // namespace

std::string SocketErrorText(int code) {
  std::string text = Sockets().ErrorText(code);
  if (text.size() > 256) text.resize(256);
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c <= ' ' || c == '.' || c == 0x7F) {
      text.pop_back();
    } else {
      break;
    }
  }
  return text;
}

std::string SocketErrorMessage(int code, const std::string& operation) {
  return "Windows-Socket-Fehler: " + SocketErrorText(code) + " (" + std::to_string(code) +
         "), auf API '" + operation + "'";
}

void StartSocketLibrary() {
  int code = Sockets().WSAStartup(0x0101, &g_wsa_data);
  if (code != 0) throw EUSUError(SocketErrorMessage(code, "WSAStartup"));
}

void StopSocketLibrary() {
  if (Sockets().WSACleanup() != 0)
    throw EUSUError(SocketErrorMessage(Sockets().WSAGetLastError(), "WSACleanup"));
}

TUdpSockUtil::TUdpSockUtil(TComponent* owner) : TComponent(owner) {
  StartSocketLibrary();
  Lock = std::make_unique<std::recursive_mutex>();
}

TUdpSockUtil::~TUdpSockUtil() {
  OnReceive = nullptr;
  OnWriteReady = nullptr;
  OnError = nullptr;
  // A destructor cannot pass an error on; each failure is shown and teardown goes on, so
  // nothing is left open.
  Guarded([this] { StopListening(); });
  FreeNotifyWindow();
  Guarded([this] { CloseSocketSlot(FEndpointSocket); });
  Guarded([this] { CloseSocketSlot(FBroadcastSocket); });
  Lock.reset();
  Guarded([] { StopSocketLibrary(); });
}

int32_t TUdpSockUtil::CheckSocketResult(int result, const char* operation) {
  if (result == 0) return 0;
  int32_t code = Sockets().WSAGetLastError();
  if (code == ws::WSAEWOULDBLOCK) return code;
  if (OnError) {
    OnError(this, code);
    return code;
  }
  throw EUSUError(SocketErrorMessage(code, operation));
}

void TUdpSockUtil::OpenSocket(TSocket& slot, uint16_t port, bool broadcast) {
  if (slot != ws::kInvalidSocket) return;
  slot = Sockets().socket(ws::kAfInet, ws::kSockDgram, 0);
  if (slot == ws::kInvalidSocket) {
    if (OnError) {
      OnError(this, Sockets().WSAGetLastError());
      return;
    }
    throw EUSUError("Es kann kein neuer Socket erzeugt werden");
  }
  // A socket whose binding or option failed never stays in its slot, whether the failure
  // was handed to OnError or raised.
  auto give_up = [&] {
    TSocket s = slot;
    slot = ws::kInvalidSocket;
    Sockets().closesocket(s);
  };
  try {
    SockAddrIn addr;
    addr.sin_family = ws::kAfInet;
    addr.sin_port = HostToNet16(port);
    addr.sin_addr = ws::kInaddrAny;
    if (CheckSocketResult(Sockets().bind(slot, &addr, sizeof addr), "Bind") != 0) {
      give_up();
      return;
    }
    if (broadcast) {
      const std::int32_t on = -1;
      if (CheckSocketResult(
              Sockets().setsockopt(slot, ws::kSolSocket, ws::kSoBroadcast, &on, sizeof on),
              "SetSockOpt") != 0)
        give_up();
    }
  } catch (...) {
    if (slot != ws::kInvalidSocket) give_up();
    throw;
  }
}

void TUdpSockUtil::AskForReceiveBuffer() {
  // Not granted in full is no failure: the endpoint works with what the system gives.
  FReceiveBufferSize = 0;
  const std::int32_t wanted = kReceiveBufferWanted;
  Sockets().setsockopt(FEndpointSocket, ws::kSolSocket, ws::kSoRcvBuf, &wanted, sizeof wanted);
  std::int32_t granted = 0;
  int len = sizeof granted;
  if (Sockets().getsockopt(FEndpointSocket, ws::kSolSocket, ws::kSoRcvBuf, &granted, &len) == 0)
    FReceiveBufferSize = granted;
}

void TUdpSockUtil::CloseSocketSlot(TSocket& slot) {
  if (slot == ws::kInvalidSocket) return;
  TSocket s = slot;
  slot = ws::kInvalidSocket;
  CheckSocketResult(Sockets().closesocket(s), "CloseSocket");
}

void TUdpSockUtil::CloseIfInactive(TSocket& slot) {
  if (!FCloseInactiveSockets) return;
  if (&slot == &FEndpointSocket && FListening) return;
  CloseSocketSlot(slot);
}

void TUdpSockUtil::FreeNotifyWindow() {
  if (FNotifyWindow == kNoWindow) return;
  HWND w = FNotifyWindow;
  FNotifyWindow = kNoWindow;
  DeallocateHWnd(w);
}

void TUdpSockUtil::StartListening() {
  std::lock_guard guard(*Lock);
  FListening = false;
  if (FLocalPort == 0) {
    if (OnError) {
      OnError(this, ws::WSAEINVAL);
      return;
    }
    throw EUSUError("UDP-Listen mit Port 0 nicht unterstützt!");
  }
  OpenSocket(FEndpointSocket, FLocalPort, false);
  if (FEndpointSocket == ws::kInvalidSocket) return;
  AskForReceiveBuffer();
  FreeNotifyWindow();
  FNotifyWindow = AllocateHWnd([this](UINT msg, WPARAM wparam, LPARAM lparam) {
    return MessageHandler(msg, wparam, lparam);
  });
  int32_t check;
  try {
    check = CheckSocketResult(Sockets().WSAAsyncSelect(FEndpointSocket, FNotifyWindow,
                                                       SocketNotifyMessage, kSelectEvents),
                              "WSAAsyncSelect");
  } catch (...) {
    FreeNotifyWindow();  // no notice window is left behind a refused registration
    throw;
  }
  FListening = check == 0;
  if (!FListening) FreeNotifyWindow();
}

void TUdpSockUtil::StopListening() {
  std::lock_guard guard(*Lock);
  try {
    if (FListening) {
      FListening = false;
      CheckSocketResult(Sockets().WSAAsyncSelect(FEndpointSocket, FNotifyWindow, 0, 0),
                        "WSAAsyncSelect");
    }
  } catch (...) {
    FreeNotifyWindow();  // the window goes even when the cancel is raised
    throw;
  }
  FreeNotifyWindow();
  CloseIfInactive(FEndpointSocket);
}

void TUdpSockUtil::SetListening(bool value) {
  if (value == FListening) return;
  if (value) {
    StartListening();
  } else {
    StopListening();
  }
}

LRESULT TUdpSockUtil::MessageHandler(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg != SocketNotifyMessage) return DefWindowProc(FNotifyWindow, msg, wparam, lparam);
  const auto bits = static_cast<std::uint32_t>(lparam);
  const int32_t error = static_cast<int32_t>((bits >> 16) & 0xFFFF);
  const std::uint32_t event = bits & 0xFFFF;
  // Handlers are called through copies: a handler may destroy this endpoint.
  if (error != 0) {
    if (auto on_error = OnError) {
      on_error(this, error);
      return 0;
    }
    throw EUSUError(SocketErrorMessage(error, "MessageHandler"));
  }
  if (event == static_cast<std::uint32_t>(ws::kFdRead)) {
    if (auto on_receive = OnReceive) on_receive(this);
  } else if (event == static_cast<std::uint32_t>(ws::kFdWrite)) {
    if (auto on_write_ready = OnWriteReady) on_write_ready(this);
  }
  return 0;
}

int32_t TUdpSockUtil::PendingBytes() {
  std::uint32_t count = 0;
  if (FEndpointSocket != ws::kInvalidSocket) {
    if (CheckSocketResult(Sockets().ioctlsocket(FEndpointSocket, ws::kFionread, &count),
                          "IOCtlSocket") != 0)
      count = 0;
  }
  return static_cast<int32_t>(std::min<std::uint32_t>(count, 0x7FFFFFFF));
}

int32_t TUdpSockUtil::ReceiveBuffer(void* buffer, int32_t size, uint32_t& SenderAddr,
                                    int32_t flags) {
  std::lock_guard guard(*Lock);
  SenderAddr = ws::kInaddrNone;
  if (FEndpointSocket == ws::kInvalidSocket) return 0;
  SockAddrIn from;
  int fromlen = sizeof from;
  int got = Sockets().recvfrom(FEndpointSocket, buffer, std::max(size, 0), flags, &from, &fromlen);
  if (got >= 0) {
    SenderAddr = from.sin_addr;
    return got;
  }
  int32_t code = Sockets().WSAGetLastError();
  if (code == ws::WSAEWOULDBLOCK) return 0;
  if (OnError) {
    OnError(this, code);
    Abort();
  }
  throw EUSUError(SocketErrorMessage(code, "RecvFrom"));
}

void TUdpSockUtil::ReceiveText(uint32_t& SenderAddr, ByteString& data) {
  // One receive, without waiting, into room for any datagram: no pending count to ask first,
  // a zero-byte datagram is taken off the socket (so the next read notice can come), and one
  // that arrives late is never cut short. The room is kept, never cleared, and the text gets
  // exactly the datagram's bytes.
  if (!FReceiveRoom) FReceiveRoom.reset(new char[kLargestDatagram]);
  const int32_t got =
      ReceiveBuffer(FReceiveRoom.get(), kLargestDatagram, SenderAddr, ws::kMsgDontWait);
  data.assign(FReceiveRoom.get(), static_cast<size_t>(got));
}

int32_t TUdpSockUtil::SendBuffer(const void* data, int32_t length, int32_t flags) {
  std::lock_guard guard(*Lock);
  int32_t result = 0;
  TSocket& slot = FBroadcast ? FBroadcastSocket : FEndpointSocket;
  try {
    if (FBroadcast) {
      OpenSocket(FBroadcastSocket, 0, true);
    } else {
      OpenSocket(FEndpointSocket, FLocalPort, false);
    }
    if (slot != ws::kInvalidSocket) {
      SockAddrIn to;
      to.sin_family = ws::kAfInet;
      to.sin_port = HostToNet16(FRemotePort);
      to.sin_addr = FBroadcast ? ws::kInaddrNone : FRemoteAddress;
      int sent = Sockets().sendto(slot, data, std::max(length, 0), flags, &to, sizeof to);
      if (sent >= 0) {
        result = sent;
      } else {
        int32_t code = Sockets().WSAGetLastError();
        if (code != ws::WSAEWOULDBLOCK) {
          if (OnError) {
            OnError(this, code);
            Abort();
          }
          throw EUSUError(SocketErrorMessage(code, "SendTo"));
        }
      }
    }
  } catch (...) {
    try {
      CloseIfInactive(slot);
    } catch (...) {
      // The first error is the one the caller hears about; the slot is empty either way.
    }
    throw;
  }
  CloseIfInactive(slot);
  return result;
}

int32_t TUdpSockUtil::SendText(const ByteString& text) {
  int32_t total = 0;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(left, kSendSlice));
    total += SendBuffer(p, n, 0);
    p += n;
    left -= static_cast<size_t>(n);
  }
  return total;
}

void TUdpSockUtil::SetLocalPort(uint16_t value) {
  if (value == FLocalPort) return;
  FLocalPort = value;
  const bool was_listening = FListening;
  if (was_listening) StopListening();
  CloseSocketSlot(FEndpointSocket);
  if (was_listening) StartListening();
}

void TUdpSockUtil::SetCloseInactiveSockets(bool value) {
  if (value == FCloseInactiveSockets) return;
  FCloseInactiveSockets = value;
  CloseIfInactive(FEndpointSocket);
  CloseIfInactive(FBroadcastSocket);
}

void TUdpSockUtil::SetBroadcast(bool value) {
  FBroadcast = value;
  if (value) {
    FRemoteAddress = ws::kInaddrNone;
    FRemoteHost = Sockets().inet_ntoa(ws::kInaddrNone);
  }
}

void TUdpSockUtil::SetRemoteHost(const ByteString& value) {
  if (value == FRemoteHost) return;
  if (value == "255.255.255.255") {
    SetBroadcast(true);
    return;
  }
  FRemoteHost = value;
  FRemoteAddress = Sockets().inet_addr(FRemoteHost.c_str());
  if (FRemoteAddress != ws::kInaddrNone) return;
  auto entry = Sockets().gethostbyname(FRemoteHost.empty() ? nullptr : FRemoteHost.c_str());
  if (entry && !entry->h_addr_list.empty()) {
    FRemoteAddress = entry->h_addr_list.front();
    return;
  }
  SetBroadcast(true);
}

}  // namespace qb
