// The socket library the UDP endpoint talks to: the classic Windows Sockets 1.1 operations,
// with Winsock numbering for error codes on every platform. The real implementation runs over
// POSIX sockets and the platform's readiness watch; tests may install a scripted one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/messages.h"

namespace qb {

using TSocket = std::uintptr_t;

// Names carry a prefix because the system headers define the plain ones as macros.
namespace ws {
inline constexpr TSocket kInvalidSocket = ~TSocket{0};
inline constexpr int kSocketError = -1;

inline constexpr int kAfInet = 2;
inline constexpr int kSockDgram = 2;
inline constexpr int kSolSocket = 0xFFFF;
inline constexpr int kSoBroadcast = 0x0020;
inline constexpr int kSoRcvBuf = 0x1002;
inline constexpr std::uint32_t kFionread = 0x4004667F;
inline constexpr std::uint32_t kInaddrAny = 0;
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFF;

inline constexpr int kMsgOob = 0x1;
inline constexpr int kMsgPeek = 0x2;
// Our own flag: this one call never waits, even on a blocking socket.
inline constexpr int kMsgDontWait = 0x40000000;

// Readiness events of WSAAsyncSelect and the notice's parameter layout.
inline constexpr std::int32_t kFdRead = 0x01;
inline constexpr std::int32_t kFdWrite = 0x02;
inline constexpr std::int32_t kFdClose = 0x20;
inline LPARAM MakeSelectLParam(std::uint16_t event, std::uint16_t error) {
  return static_cast<LPARAM>(static_cast<std::uint32_t>(event) |
                             (static_cast<std::uint32_t>(error) << 16));
}

// Error codes: 10000 plus the BSD number.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;

// The native errno value as a Winsock code, and back (0 when the code has no native value).
int ErrnoToWinsock(int native_errno);
int WinsockToErrno(int code);
}  // namespace ws

// The 16-byte IPv4 address record; port and address in network byte order.
struct SockAddrIn {
  std::int16_t sin_family = 0;
  std::uint16_t sin_port = 0;
  std::uint32_t sin_addr = 0;
  char sin_zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

struct WSAData {
  std::uint16_t wVersion = 0;
  std::uint16_t wHighVersion = 0;
  std::string szDescription;
};

struct HostEnt {
  std::string h_name;
  std::vector<std::uint32_t> h_addr_list;  // IPv4 addresses, network byte order
};

class SocketLibrary {
 public:
  virtual ~SocketLibrary() = default;

  // 0 on success, else the error code.
  virtual int WSAStartup(std::uint16_t version, WSAData* data) = 0;
  // 0 on success, else kSocketError with the code from WSAGetLastError.
  virtual int WSACleanup() = 0;

  virtual TSocket socket(int af, int type, int protocol) = 0;
  virtual int bind(TSocket s, const SockAddrIn* addr, int addrlen) = 0;
  // Options: SO_BROADCAST and SO_RCVBUF, 32-bit values. A receive buffer is asked for in
  // bytes; the system may grant less, and getsockopt tells what it granted (on Linux twice
  // the usable size, as the kernel counts its bookkeeping in).
  virtual int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen) = 0;
  virtual int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen) = 0;
  // Registers (events != 0) or cancels (msg 0, events 0) readiness notices to wnd. The notice
  // is msg with the socket in wparam and MakeSelectLParam(event, error) in lparam. After a read
  // notice no further one comes until a receive call has been made; write readiness is
  // announced once after registration and again only after a send that would have blocked.
  // Registration makes the socket non-blocking for good.
  virtual int WSAAsyncSelect(TSocket s, HWND wnd, UINT msg, std::int32_t events) = 0;
  virtual int ioctlsocket(TSocket s, std::uint32_t cmd, std::uint32_t* argp) = 0;
  // One datagram per call. Flags: kMsgOob, kMsgPeek, kMsgDontWait.
  virtual int recvfrom(TSocket s, void* buf, int len, int flags, SockAddrIn* from,
                       int* fromlen) = 0;
  virtual int sendto(TSocket s, const void* buf, int len, int flags, const SockAddrIn* to,
                     int tolen) = 0;
  virtual int closesocket(TSocket s) = 0;

  // kInaddrNone for text that is no dotted address and for "255.255.255.255" itself.
  virtual std::uint32_t inet_addr(const char* cp) = 0;
  // name nullptr: the local machine's own entry.
  virtual std::optional<HostEnt> gethostbyname(const char* name) = 0;
  virtual std::string inet_ntoa(std::uint32_t addr) = 0;
  virtual int WSAGetLastError() = 0;

  // The system's description of a code, as the system words it.
  virtual std::string ErrorText(int code) = 0;
};

// The library in use: the real one unless a test installed another.
SocketLibrary& Sockets();
// Installs a library (nullptr restores the real one). The caller keeps ownership.
void SetSocketLibrary(SocketLibrary* library);
// The POSIX implementation, whatever is installed.
SocketLibrary& RealSocketLibrary();

// Dotted a.b.c.d text of an address in network byte order.
std::string inet_ntoa(std::uint32_t addr_network_order);

}  // namespace qb
