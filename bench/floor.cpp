// The floor: the least a bridge can do with a seek datagram. It receives the datagram and
// hands its time code to RtMidi's JACK output, and nothing else: no window, no rules beyond the
// seek. The benchmark measures quillbox against it in the same run.
//
//   quillbox_floor          blocking recvfrom, no event loop (JACK port "quillbox-floor:out")
//   quillbox_floor --loop   the same on Qt's event loop: a socket notifier, then recvfrom
//                           until the queue is empty (JACK port "quillbox-loopfloor:out");
//                           what any program on that loop pays before doing anything else
// Both listen on UDP port 10001.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <RtMidi.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void Send(RtMidiOut& out, const char* buf, ssize_t n) {
  if (n < 4) return;
  std::uint32_t bits;
  std::memcpy(&bits, buf + n - 4, 4);
  bits = ntohl(bits);
  float seek;
  std::memcpy(&seek, &bits, 4);
  const long position = std::lrint(seek);  // halves to even, as quillbox rounds
  if (position < 0 || position >= 128 * 600) return;
  const unsigned char tc[10] = {0xF0,
                                0x7F,
                                0x01,
                                0x01,
                                0x01,
                                0x00,
                                static_cast<unsigned char>(position / 600),
                                static_cast<unsigned char>(position / 10 % 60),
                                static_cast<unsigned char>(position % 10 * 10),
                                0xF7};
  out.sendMessage(tc, sizeof tc);
}

}  // namespace

int main(int argc, char** argv) {
  const bool loop = argc > 1 && std::strcmp(argv[1], "--loop") == 0;
  RtMidiOut out(RtMidi::UNIX_JACK, loop ? "quillbox-loopfloor" : "quillbox-floor");
  out.openVirtualPort("out");

  const int fd = socket(AF_INET, SOCK_DGRAM | (loop ? SOCK_NONBLOCK : 0), 0);
  const int room = 1 << 20;  // what quillbox asks for, so bursts meet the same buffer
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10001);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("quillbox_floor: bind");
    return 1;
  }
  std::printf("floor listening\n");
  std::fflush(stdout);

  // With the sender's address, as a bridge that answers anybody needs it.
  static char buf[65536];
  sockaddr_in from{};
  socklen_t fromlen = sizeof from;
  auto receive = [&] {
    fromlen = sizeof from;
    return recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
  };
  if (!loop) {
    for (;;) Send(out, buf, receive());
  }
  QCoreApplication app(argc, argv);
  QSocketNotifier readable(fd, QSocketNotifier::Read);
  QObject::connect(&readable, &QSocketNotifier::activated, [&] {
    for (ssize_t n; (n = receive()) >= 0;) Send(out, buf, n);
  });
  return app.exec();
}
