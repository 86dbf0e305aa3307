// A socket library for tests: passes every call to the real one, counts the calls, and fails
// the calls it is told to fail with a chosen code, including failures loopback cannot produce.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "net/socketlib.h"

namespace qb {

class ScriptedSocketLibrary : public SocketLibrary {
 public:
  enum Op {
    kStartup,
    kCleanup,
    kSocket,
    kBind,
    kSetSockOpt,
    kAsyncSelect,
    kIoctl,
    kRecvFrom,
    kSendTo,
    kCloseSocket,
    kInetAddr,
    kGetHostByName,
    kOpCount
  };

  // Installs itself for its lifetime.
  ScriptedSocketLibrary();
  ~ScriptedSocketLibrary() override;

  // The next `times` calls of op fail with code. A failing closesocket still closes the socket
  // and a failing cancel still cancels, so an injected failure never leaks a descriptor.
  void FailNext(Op op, int code, int times = 1);
  int Calls(Op op) const { return calls_[op]; }
  void ResetCalls() { calls_.fill(0); }

  // Posts a readiness notice for a registered socket, as the library would; false when the
  // socket has no registration.
  bool PostNotice(TSocket s, std::uint16_t event, std::uint16_t error);

  struct Bound {
    TSocket socket;
    std::uint16_t port;  // host order, as asked for
  };
  std::vector<Bound> binds;
  std::vector<TSocket> sent_from;  // the socket of every successful sendto

  int WSAStartup(std::uint16_t version, WSAData* data) override;
  int WSACleanup() override;
  TSocket socket(int af, int type, int protocol) override;
  int bind(TSocket s, const SockAddrIn* addr, int addrlen) override;
  int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen) override;
  int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen) override;
  int WSAAsyncSelect(TSocket s, HWND wnd, UINT msg, std::int32_t events) override;
  int ioctlsocket(TSocket s, std::uint32_t cmd, std::uint32_t* argp) override;
  int recvfrom(TSocket s, void* buf, int len, int flags, SockAddrIn* from, int* fromlen) override;
  int sendto(TSocket s, const void* buf, int len, int flags, const SockAddrIn* to,
             int tolen) override;
  int closesocket(TSocket s) override;
  std::uint32_t inet_addr(const char* cp) override;
  std::optional<HostEnt> gethostbyname(const char* name) override;
  std::string inet_ntoa(std::uint32_t addr) override;
  int WSAGetLastError() override;
  std::string ErrorText(int code) override;

 private:
  // Counts the call; true (with the code made the last error) when it is to fail.
  bool Take(Op op);

  SocketLibrary& real_;
  std::array<int, kOpCount> calls_{};
  std::array<std::vector<int>, kOpCount> failures_;
  int injected_error_ = 0;
  bool injected_ = false;
  struct Registration {
    HWND wnd;
    UINT msg;
  };
  std::map<TSocket, Registration> registered_;
};

}  // namespace qb
