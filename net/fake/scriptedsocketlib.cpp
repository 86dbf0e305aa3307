#include "net/fake/scriptedsocketlib.h"

#include <arpa/inet.h>

namespace qb {

ScriptedSocketLibrary::ScriptedSocketLibrary() : real_(RealSocketLibrary()) {
  SetSocketLibrary(this);
}

ScriptedSocketLibrary::~ScriptedSocketLibrary() {
  SetSocketLibrary(nullptr);
}

void ScriptedSocketLibrary::FailNext(Op op, int code, int times) {
  for (int i = 0; i < times; ++i) failures_[op].push_back(code);
}

bool ScriptedSocketLibrary::Take(Op op) {
  ++calls_[op];
  injected_ = false;
  auto& queue = failures_[op];
  if (queue.empty()) return false;
  injected_error_ = queue.front();
  queue.erase(queue.begin());
  injected_ = true;
  return true;
}

bool ScriptedSocketLibrary::PostNotice(TSocket s, std::uint16_t event, std::uint16_t error) {
  auto it = registered_.find(s);
  if (it == registered_.end()) return false;
  return PostMessage(it->second.wnd, it->second.msg, s, ws::MakeSelectLParam(event, error));
}

int ScriptedSocketLibrary::WSAStartup(std::uint16_t version, WSAData* data) {
  if (Take(kStartup)) return injected_error_;
  return real_.WSAStartup(version, data);
}

int ScriptedSocketLibrary::WSACleanup() {
  if (Take(kCleanup)) return ws::kSocketError;
  return real_.WSACleanup();
}

TSocket ScriptedSocketLibrary::socket(int af, int type, int protocol) {
  if (Take(kSocket)) return ws::kInvalidSocket;
  return real_.socket(af, type, protocol);
}

int ScriptedSocketLibrary::bind(TSocket s, const SockAddrIn* addr, int addrlen) {
  if (Take(kBind)) return ws::kSocketError;
  if (addr) binds.push_back({s, ntohs(addr->sin_port)});
  return real_.bind(s, addr, addrlen);
}

int ScriptedSocketLibrary::setsockopt(TSocket s, int level, int optname, const void* optval,
                                      int optlen) {
  if (Take(kSetSockOpt)) return ws::kSocketError;
  return real_.setsockopt(s, level, optname, optval, optlen);
}

int ScriptedSocketLibrary::getsockopt(TSocket s, int level, int optname, void* optval,
                                      int* optlen) {
  return real_.getsockopt(s, level, optname, optval, optlen);
}

int ScriptedSocketLibrary::WSAAsyncSelect(TSocket s, HWND wnd, UINT msg, std::int32_t events) {
  const bool cancel = msg == 0 && events == 0;
  if (Take(kAsyncSelect)) {
    if (cancel) {
      registered_.erase(s);
      real_.WSAAsyncSelect(s, wnd, 0, 0);
    }
    return ws::kSocketError;
  }
  int r = real_.WSAAsyncSelect(s, wnd, msg, events);
  if (r == 0) {
    if (cancel) {
      registered_.erase(s);
    } else {
      registered_[s] = {wnd, msg};
    }
  }
  return r;
}

int ScriptedSocketLibrary::ioctlsocket(TSocket s, std::uint32_t cmd, std::uint32_t* argp) {
  if (Take(kIoctl)) return ws::kSocketError;
  return real_.ioctlsocket(s, cmd, argp);
}

int ScriptedSocketLibrary::recvfrom(TSocket s, void* buf, int len, int flags, SockAddrIn* from,
                                    int* fromlen) {
  if (Take(kRecvFrom)) return ws::kSocketError;
  return real_.recvfrom(s, buf, len, flags, from, fromlen);
}

int ScriptedSocketLibrary::sendto(TSocket s, const void* buf, int len, int flags,
                                  const SockAddrIn* to, int tolen) {
  if (Take(kSendTo)) return ws::kSocketError;
  int r = real_.sendto(s, buf, len, flags, to, tolen);
  if (r >= 0) sent_from.push_back(s);
  return r;
}

int ScriptedSocketLibrary::closesocket(TSocket s) {
  registered_.erase(s);
  if (Take(kCloseSocket)) {
    real_.closesocket(s);
    return ws::kSocketError;
  }
  return real_.closesocket(s);
}

std::uint32_t ScriptedSocketLibrary::inet_addr(const char* cp) {
  Take(kInetAddr);
  return real_.inet_addr(cp);
}

std::optional<HostEnt> ScriptedSocketLibrary::gethostbyname(const char* name) {
  if (Take(kGetHostByName)) return std::nullopt;
  return real_.gethostbyname(name);
}

std::string ScriptedSocketLibrary::inet_ntoa(std::uint32_t addr) {
  return real_.inet_ntoa(addr);
}

int ScriptedSocketLibrary::WSAGetLastError() {
  return injected_ ? injected_error_ : real_.WSAGetLastError();
}

std::string ScriptedSocketLibrary::ErrorText(int code) {
  return real_.ErrorText(code);
}

}  // namespace qb
