#include "net/socketlib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/socketwatch.h"

namespace qb {

namespace ws {
namespace {

struct CodePair {
  int native;
  int code;
};

// Where Linux and BSD agree on a name, the Winsock number is 10000 + the BSD number.
constexpr CodePair kCodes[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

}  // namespace

int ErrnoToWinsock(int native_errno) {
  for (const auto& p : kCodes)
    if (p.native == native_errno) return p.code;
  // A native code without a Winsock name keeps its number above the Winsock base.
  return 10000 + native_errno;
}

int WinsockToErrno(int code) {
  for (const auto& p : kCodes)
    if (p.code == code) return p.native;
  return 0;
}

}  // namespace ws

std::string inet_ntoa(std::uint32_t addr_network_order) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr_network_order);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

namespace {

thread_local int t_last_error = 0;

int Fail(int native_errno) {
  t_last_error = ws::ErrnoToWinsock(native_errno);
  return ws::kSocketError;
}

int Fd(TSocket s) {
  return s > static_cast<TSocket>(0x7FFFFFFF) ? -1 : static_cast<int>(s);
}

sockaddr_in ToNative(const SockAddrIn& a) {
  sockaddr_in n{};
  n.sin_family = a.sin_family == ws::kAfInet ? AF_INET : static_cast<sa_family_t>(a.sin_family);
  n.sin_port = a.sin_port;
  n.sin_addr.s_addr = a.sin_addr;
  return n;
}

constexpr int kNoticesPerPass = 64;

// Room for the largest datagram UDP over IPv4 can carry.
constexpr std::size_t kAheadBytes = 65536;
// Datagrams taken off the socket in one system call while a burst is queued.
constexpr int kAheadSlots = 16;

using Clock = std::chrono::steady_clock;
// A pass of read notices starts this soon after the one before when a sender outruns the
// handlers (a burst); steady traffic, even thousands a second, comes back later than this. One
// clock read a pass tells: on a virtual machine each read costs as much as the rules.
constexpr auto kBurstGap = std::chrono::microseconds(100);
// In a burst a pass finds one or two datagrams, and the loop's pass around them (its poll,
// a read that comes back short) costs more than their handling. Waiting this long once a
// pass, when the queue runs short, lets a full batch gather: well within the receive buffer
// and within one JACK period.
constexpr auto kBurstPause = std::chrono::microseconds(100);

bool NativeOption(int level, int optname, int& native) {
  if (level != ws::kSolSocket) return false;
  switch (optname) {
    case ws::kSoBroadcast:
      native = SO_BROADCAST;
      return true;
    case ws::kSoRcvBuf:
      native = SO_RCVBUF;
      return true;
    default:
      return false;
  }
}

bool EndsWithInvalidTld(const std::string& name) {
  std::string n = name;
  while (!n.empty() && n.back() == '.') n.pop_back();
  std::transform(n.begin(), n.end(), n.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return n == "invalid" || (n.size() > 8 && n.compare(n.size() - 8, 8, ".invalid") == 0);
}

class PosixSocketLibrary : public SocketLibrary {
 public:
  int WSAStartup(std::uint16_t version, WSAData* data) override {
    if (version < 0x0101) return ws::WSAVERNOTSUPPORTED;
    std::lock_guard lock(mutex_);
    ++started_;
    if (data) {
      data->wVersion = 0x0101;
      data->wHighVersion = 0x0101;
      data->szDescription = "POSIX sockets";
    }
    return 0;
  }

  int WSACleanup() override {
    std::lock_guard lock(mutex_);
    if (started_ == 0) {
      t_last_error = ws::WSANOTINITIALISED;
      return ws::kSocketError;
    }
    --started_;
    return 0;
  }

  TSocket socket(int af, int type, int protocol) override {
    if (af != ws::kAfInet || type != ws::kSockDgram) {
      Fail(EAFNOSUPPORT);
      return ws::kInvalidSocket;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
      Fail(errno);
      return ws::kInvalidSocket;
    }
    return static_cast<TSocket>(fd);
  }

  int bind(TSocket s, const SockAddrIn* addr, int addrlen) override {
    if (!addr || addrlen < static_cast<int>(sizeof(SockAddrIn))) return Fail(EFAULT);
    sockaddr_in n = ToNative(*addr);
    if (::bind(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) != 0) return Fail(errno);
    return 0;
  }

  int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen) override {
    int native = 0;
    if (!NativeOption(level, optname, native)) return Fail(ENOPROTOOPT);
    if (!optval || optlen < 4) return Fail(EFAULT);
    std::int32_t v;
    std::memcpy(&v, optval, 4);
    int value = native == SO_BROADCAST ? (v != 0 ? 1 : 0) : v;
    // Without privileges the kernel caps a receive buffer at net.core.rmem_max; with them the
    // forcing variant is not capped.
    if (native == SO_RCVBUF &&
        ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof value) == 0)
      return 0;
    if (::setsockopt(Fd(s), SOL_SOCKET, native, &value, sizeof value) != 0) return Fail(errno);
    return 0;
  }

  int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen) override {
    int native = 0;
    if (!NativeOption(level, optname, native)) return Fail(ENOPROTOOPT);
    if (!optval || !optlen || *optlen < 4) return Fail(EFAULT);
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(Fd(s), SOL_SOCKET, native, &value, &len) != 0) return Fail(errno);
    const std::int32_t v = value;
    std::memcpy(optval, &v, 4);
    *optlen = 4;
    return 0;
  }

  int WSAAsyncSelect(TSocket s, HWND wnd, UINT msg, std::int32_t events) override {
    int fd = Fd(s);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return Fail(errno);
    if (msg == 0 && events == 0) {
      Unregister(s);
      return 0;
    }
    if (!IsWindow(wnd)) return Fail(EINVAL);
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(errno);
    Unregister(s);
    auto reg = std::make_unique<Registration>();
    reg->wnd = wnd;
    reg->msg = msg;
    reg->events = events;
    reg->serial = ++serials_;
    Registration* r = reg.get();
    reg->watch = std::make_unique<SocketWatch>(fd, [this, r, s](SocketWatch::Ready ready) {
      // The notice is handled at once, from the event loop's own readiness callback: no posted
      // message and no second pass of the loop. Read readiness stays watched while each notice
      // is answered by a receive (the usual case, and the cheap one); a notice the handler
      // leaves unread switches it off until the next receive call, so no further read notice
      // comes before one.
      //
      // A notice for data still queued comes back at once: while each notice is answered by a
      // receive and more is queued, the next notice follows without a pass of the event loop,
      // up to kNoticesPerPass, so timers, input and other notices still get their turn between
      // batches. What is queued is taken off the socket ahead of its notices, up to
      // kAheadSlots datagrams in one system call, and the handlers' receives take it from
      // there: a burst costs less than one system call per datagram, and a read that found the
      // queue short ends the pass without a second call that would only find it empty, unless
      // the pass is part of a burst (kBurstPause). Nothing is read ahead beyond the notices
      // left in the pass.
      if (ready == SocketWatch::Ready::Read) {
        const Clock::time_point now = Clock::now();
        const bool burst = now - std::exchange(r->pass_start, now) < kBurstGap;
        ReadPass(s, r, burst);
      } else {
        r->watch->SetWriteEnabled(false);
        SendMessage(r->wnd, r->msg, s, ws::MakeSelectLParam(ws::kFdWrite, 0));
      }
    });
    reg->watch->SetReadEnabled(events & ws::kFdRead);
    reg->watch->SetWriteEnabled(events & ws::kFdWrite);
    std::lock_guard lock(mutex_);
    registrations_[s] = std::move(reg);
    return 0;
  }

  int ioctlsocket(TSocket s, std::uint32_t cmd, std::uint32_t* argp) override {
    if (cmd != ws::kFionread) return Fail(EINVAL);
    if (!argp) return Fail(EFAULT);
    {
      std::lock_guard lock(mutex_);
      if (const Ahead* a = HeldAhead(s); a && a->next < a->count) {
        *argp = a->msgs[a->next].msg_len;
        return 0;
      }
    }
    int n = 0;
    // On Linux this is the size of the first queued datagram, which is what a reader needs.
    if (::ioctl(Fd(s), FIONREAD, &n) != 0) return Fail(errno);
    *argp = static_cast<std::uint32_t>(n);
    return 0;
  }

  int recvfrom(TSocket s, void* buf, int len, int flags, SockAddrIn* from, int* fromlen) override {
    int native_flags = 0;
    if (flags & ws::kMsgOob) native_flags |= MSG_OOB;
    if (flags & ws::kMsgPeek) native_flags |= MSG_PEEK;
    if (flags & ws::kMsgDontWait) native_flags |= MSG_DONTWAIT;
    sockaddr_in n{};
    ssize_t got = -1;
    int err = 0;
    {
      std::lock_guard lock(mutex_);
      if (Ahead* a = HeldAhead(s)) {
        // What was read ahead is the first one queued: a peek leaves it there, a receive
        // takes it, cut to the buffer as the kernel would.
        if (a->next == a->count) {
          err = a->error;
          a->error = 0;
        } else {
          const std::size_t size = a->msgs[a->next].msg_len;
          got = static_cast<ssize_t>(std::min(size, static_cast<std::size_t>(std::max(len, 0))));
          if (got > 0) std::memcpy(buf, a->Bytes(a->next), static_cast<std::size_t>(got));
          n = a->from[a->next];
          if (!(native_flags & MSG_PEEK)) ++a->next;
        }
        Registration* reg = RearmReadLocked(s);
        // Outside a pass of notices, what is still held ahead is announced from the event
        // loop: the socket's readiness no longer shows it.
        if (a->Holds() && reg && !reg->in_pass && (reg->events & ws::kFdRead))
          reg->watch->ReadSoon();
        if (got < 0) return Fail(err);
        return Deliver(n, from, fromlen, got);
      }
    }
    socklen_t nlen = sizeof n;
    got = ::recvfrom(Fd(s), buf, len < 0 ? 0 : static_cast<size_t>(len), native_flags,
                     reinterpret_cast<sockaddr*>(&n), &nlen);
    err = errno;
    RearmRead(s);
    if (got < 0) return Fail(err);
    return Deliver(n, from, fromlen, got);
  }

  static int Deliver(const sockaddr_in& n, SockAddrIn* from, int* fromlen, ssize_t got) {
    if (from && fromlen && *fromlen >= static_cast<int>(sizeof(SockAddrIn))) {
      from->sin_family = ws::kAfInet;
      from->sin_port = n.sin_port;
      from->sin_addr = n.sin_addr.s_addr;
      *fromlen = sizeof(SockAddrIn);
    }
    return static_cast<int>(got);
  }

  int sendto(TSocket s, const void* buf, int len, int flags, const SockAddrIn* to,
             int tolen) override {
    if (!to || tolen < static_cast<int>(sizeof(SockAddrIn))) return Fail(EFAULT);
    int native_flags = MSG_NOSIGNAL;
    if (flags & ws::kMsgOob) native_flags |= MSG_OOB;
    if (flags & ws::kMsgDontWait) native_flags |= MSG_DONTWAIT;
    sockaddr_in n = ToNative(*to);
    ssize_t sent = ::sendto(Fd(s), buf, len < 0 ? 0 : static_cast<size_t>(len), native_flags,
                            reinterpret_cast<sockaddr*>(&n), sizeof n);
    if (sent < 0) {
      int err = errno;
      if (err == EWOULDBLOCK || err == EAGAIN) RearmWrite(s);
      return Fail(err);
    }
    return static_cast<int>(sent);
  }

  int closesocket(TSocket s) override {
    Unregister(s);
    {
      std::lock_guard lock(mutex_);
      ahead_.erase(s);  // what was read ahead goes with the socket
    }
    if (::close(Fd(s)) != 0) return Fail(errno);
    return 0;
  }

  std::uint32_t inet_addr(const char* cp) override {
    if (!cp) return ws::kInaddrNone;
    return ::inet_addr(cp);
  }

  std::optional<HostEnt> gethostbyname(const char* name) override {
    std::string host;
    if (name) {
      host = name;
    } else {
      char buf[256] = {};
      if (::gethostname(buf, sizeof buf - 1) != 0) {
        Fail(errno);
        return std::nullopt;
      }
      host = buf;
    }
    // Reserved for names that must never resolve; no need to ask a resolver that may be slow.
    if (host.empty() || EndsWithInvalidTld(host)) {
      t_last_error = 11001;  // host not found
      return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
      t_last_error = 11001;
      return std::nullopt;
    }
    HostEnt e;
    e.h_name = res->ai_canonname ? res->ai_canonname : host;
    for (addrinfo* a = res; a; a = a->ai_next) {
      auto addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      if (std::find(e.h_addr_list.begin(), e.h_addr_list.end(), addr) == e.h_addr_list.end())
        e.h_addr_list.push_back(addr);
    }
    ::freeaddrinfo(res);
    if (e.h_addr_list.empty()) return std::nullopt;
    return e;
  }

  std::string inet_ntoa(std::uint32_t addr) override { return qb::inet_ntoa(addr); }

  int WSAGetLastError() override { return t_last_error; }

  std::string ErrorText(int code) override {
    switch (code) {
      case ws::WSASYSNOTREADY:
        return "Network subsystem is unavailable";
      case ws::WSAVERNOTSUPPORTED:
        return "Socket library version not supported";
      case ws::WSANOTINITIALISED:
        return "Socket library not started";
      case 11001:
        return "Host not found";
      default:
        break;
    }
    int native = ws::WinsockToErrno(code);
    if (native == 0 && code > 10000) native = code - 10000;
    if (native == 0) native = code;
    char buf[256];
    // The GNU variant returns a pointer that need not be buf.
    const char* text = strerror_r(native, buf, sizeof buf);
    return text ? text : "";
  }

 private:
  struct Registration {
    HWND wnd = kNoWindow;
    UINT msg = 0;
    std::int32_t events = 0;
    std::uint64_t serial = 0;
    bool received = false;         // a receive call was made since the last read notice
    bool in_pass = false;          // a read notice is being handled
    Clock::time_point pass_start;  // when the last pass of read notices started
    std::unique_ptr<SocketWatch> watch;
  };
  // Datagrams read ahead of their receive calls, in the order queued: msgs[next..count), or
  // when those are all taken, the error of a read that failed (0: none). The slots' room is
  // only address space until a datagram lands in it.
  struct Ahead {
    Ahead() {
      for (int i = 0; i < kAheadSlots; ++i) {
        iov[i] = {Bytes(i), kAheadBytes};
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
    }
    char* Bytes(int slot) { return bytes.get() + static_cast<std::size_t>(slot) * kAheadBytes; }
    bool Holds() const { return next < count || error != 0; }
    int count = 0;
    int next = 0;
    int error = 0;
    std::unique_ptr<char[]> bytes =
        std::make_unique_for_overwrite<char[]>(kAheadSlots * kAheadBytes);
    mmsghdr msgs[kAheadSlots]{};
    iovec iov[kAheadSlots]{};
    sockaddr_in from[kAheadSlots]{};
  };

  // One pass of read notices for s (see WSAAsyncSelect). Returns the registration when it is
  // still live at the end, null when a handler cancelled it or closed the socket.
  Registration* ReadPass(TSocket s, Registration* r, bool burst) {
    const std::uint64_t serial = r->serial;
    bool more = true;   // the last read filled every slot it was given
    bool held = false;  // known to hold datagrams read ahead
    for (int notices = 0; notices < kNoticesPerPass; ++notices) {
      if (!held) {
        // At the start of the pass what is held is not known yet: the read asks first.
        if (notices > 0 && !more) {
          if (!burst) return r;
          // The queue ran short in a burst: let it fill once before the next read.
          burst = false;
          std::this_thread::sleep_for(kBurstPause);
        }
        const int room = std::min(kAheadSlots, kNoticesPerPass - notices);
        const int got = ReadAheadUnlessHeld(s, room);
        if (got == 0) return r;
        if (got > 0) more = got == room;
      }
      r->received = false;
      r->in_pass = true;
      SendMessage(r->wnd, r->msg, s, ws::MakeSelectLParam(ws::kFdRead, 0));
      r = Live(s, serial, held);
      if (!r) return nullptr;  // cancelled or closed by the handler
      r->in_pass = false;
      if (!r->received) {
        r->watch->SetReadEnabled(false);
        return r;
      }
    }
    return r;
  }

  // The registration of s when it is still the one numbered serial (a handler may have
  // cancelled it, or closed the socket and registered a new one under the same number), and
  // whether datagrams read ahead are still held for it.
  Registration* Live(TSocket s, std::uint64_t serial, bool& held) {
    std::lock_guard lock(mutex_);
    auto it = registrations_.find(s);
    if (it == registrations_.end() || it->second->serial != serial) return nullptr;
    held = HeldAhead(s) != nullptr;
    return it->second.get();
  }

  void Unregister(TSocket s) {
    std::unique_ptr<Registration> doomed;
    {
      std::lock_guard lock(mutex_);
      auto it = registrations_.find(s);
      if (it == registrations_.end()) return;
      doomed = std::move(it->second);
      registrations_.erase(it);
    }
  }
  // Up to room queued datagrams (or the error the kernel has for the socket, counted as one),
  // read without waiting into the socket's read-ahead slots. Returns how many; 0 when nothing
  // is queued, and -1, reading nothing, when the slots still hold some.
  int ReadAheadUnlessHeld(TSocket s, int room) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<Ahead>& a = ahead_[s];
    if (!a) a = std::make_unique<Ahead>();
    if (a->Holds()) return -1;
    for (int i = 0; i < room; ++i) a->msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    const int got = ::recvmmsg(Fd(s), a->msgs, static_cast<unsigned>(room), MSG_DONTWAIT, nullptr);
    a->next = 0;
    a->count = std::max(got, 0);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    a->error = errno;
    return 1;
  }
  Ahead* HeldAhead(TSocket s) {
    auto it = ahead_.find(s);
    return it != ahead_.end() && it->second->Holds() ? it->second.get() : nullptr;
  }

  void RearmRead(TSocket s) {
    std::lock_guard lock(mutex_);
    RearmReadLocked(s);
  }
  Registration* RearmReadLocked(TSocket s) {
    auto it = registrations_.find(s);
    if (it == registrations_.end()) return nullptr;
    it->second->received = true;
    if (it->second->events & ws::kFdRead) it->second->watch->SetReadEnabled(true);
    return it->second.get();
  }
  void RearmWrite(TSocket s) {
    std::lock_guard lock(mutex_);
    auto it = registrations_.find(s);
    if (it != registrations_.end() && (it->second->events & ws::kFdWrite))
      it->second->watch->SetWriteEnabled(true);
  }

  std::mutex mutex_;
  int started_ = 0;
  std::uint64_t serials_ = 0;
  std::map<TSocket, std::unique_ptr<Registration>> registrations_;
  std::map<TSocket, std::unique_ptr<Ahead>> ahead_;
};

SocketLibrary* g_installed = nullptr;

}  // namespace

SocketLibrary& RealSocketLibrary() {
  static PosixSocketLibrary* lib = new PosixSocketLibrary;  // outlives every endpoint
  return *lib;
}

SocketLibrary& Sockets() {
  return g_installed ? *g_installed : RealSocketLibrary();
}

void SetSocketLibrary(SocketLibrary* library) {
  g_installed = library;
}

}  // namespace qb
