// UdpSockUtil: one IPv4 UDP endpoint for the main window. It binds a datagram socket to
// LocalPort, announces readable datagrams as OnReceive on the user-interface thread, and sends
// byte strings to RemoteHost:RemotePort or to the all-ones broadcast address.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/socketlib.h"
#include "platform/component.h"
#include "platform/errors.h"
#include "platform/messages.h"

namespace qb {

using ByteString = std::string;  // length-counted bytes; may hold zero bytes
using TUSUNotifyEvent = std::function<void(TObject* Sender)>;
using TUSUErrorEvent = std::function<void(TObject* Sender, int32_t Error)>;

class EUSUError : public Exception {
  using Exception::Exception;
};

inline constexpr UINT SocketNotifyMessage = WM_USER + 4711;  // 0x1667

class TUdpSockUtil : public TComponent {
 public:
  explicit TUdpSockUtil(TComponent* owner);
  ~TUdpSockUtil() override;

  TUSUNotifyEvent OnReceive, OnWriteReady;  // plain members: writing has no side effect
  TUSUErrorEvent OnError;

  uint16_t LocalPort() const { return FLocalPort; }
  void SetLocalPort(uint16_t value);
  bool CloseInactiveSockets() const { return FCloseInactiveSockets; }
  void SetCloseInactiveSockets(bool value);
  const ByteString& RemoteHost() const { return FRemoteHost; }
  void SetRemoteHost(const ByteString& value);
  uint16_t RemotePort() const { return FRemotePort; }
  void SetRemotePort(uint16_t value) { FRemotePort = value; }
  bool Broadcast() const { return FBroadcast; }
  void SetBroadcast(bool value);
  uint32_t RemoteAddress() const { return FRemoteAddress; }  // network byte order

  bool Listening() const { return FListening; }
  void SetListening(bool value);

  // Bytes queued on the endpoint socket; 0 when none or when no socket is open. On Linux the
  // count is that of the first queued datagram, which is all a reader needs; a zero-byte
  // datagram counts 0.
  int32_t PendingBytes();
  // One datagram into buffer; SenderAddr is the sender's address (all ones when nothing came).
  int32_t ReceiveBuffer(void* buffer, int32_t size, uint32_t& SenderAddr, int32_t flags);
  // One datagram into data, exactly its bytes, received once without waiting: a zero-byte
  // datagram gives an empty text with its sender (and is taken off the socket), nothing queued
  // an empty text and SenderAddr all ones. Allocates nothing once data has grown to the size
  // of the datagrams it is given.
  void ReceiveText(uint32_t& SenderAddr, ByteString& data);
  int32_t SendBuffer(const void* data, int32_t length, int32_t flags);
  // Sends the whole text in datagrams of at most 512 bytes; returns the bytes sent.
  int32_t SendText(const ByteString& text);

  // Read-only views for diagnostics and tests.
  TSocket EndpointSocket() const { return FEndpointSocket; }
  TSocket BroadcastSocket() const { return FBroadcastSocket; }
  HWND NotifyWindow() const { return FNotifyWindow; }
  // The receive buffer the system granted when listening started (1 MiB is asked for; Linux
  // caps it at net.core.rmem_max without privileges and reports twice the usable size); 0
  // when it could not be read.
  int32_t ReceiveBufferSize() const { return FReceiveBufferSize; }

 private:
  void StartListening();
  void StopListening();
  void OpenSocket(TSocket& slot, uint16_t port, bool broadcast);
  void CloseSocketSlot(TSocket& slot);
  void CloseIfInactive(TSocket& slot);
  int32_t CheckSocketResult(int result, const char* operation);
  LRESULT MessageHandler(UINT msg, WPARAM wparam, LPARAM lparam);
  void FreeNotifyWindow();
  void AskForReceiveBuffer();

  std::unique_ptr<std::recursive_mutex> Lock;
  TSocket FEndpointSocket = ws::kInvalidSocket;
  uint16_t FLocalPort = 0;
  HWND FNotifyWindow = kNoWindow;
  bool FListening = false;
  TSocket FBroadcastSocket = ws::kInvalidSocket;
  bool FBroadcast = false;
  ByteString FRemoteHost;
  uint32_t FRemoteAddress = ws::kInaddrNone;
  uint16_t FRemotePort = 0;
  bool FCloseInactiveSockets = false;
  std::unique_ptr<char[]> FReceiveRoom;  // room for the largest datagram, never cleared
  int32_t FReceiveBufferSize = 0;
};

void StartSocketLibrary();
void StopSocketLibrary();

// The German error text: "Windows-Socket-Fehler: <system text> (<code>), auf API '<operation>'".
std::string SocketErrorMessage(int code, const std::string& operation);
// The system's text for a code, without trailing blanks, control characters and full stops.
std::string SocketErrorText(int code);

}  // namespace qb
