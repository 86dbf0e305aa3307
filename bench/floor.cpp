// The floor: the least a bridge can do with a seek datagram. It receives the datagram and
// hands its time code to RtMidi's JACK output, and nothing else: no event loop, no window, no
// rules beyond the seek. The benchmark measures quillbox against it in the same run.
//
//   quillbox_floor      (listens on UDP port 10001; JACK port "quillbox-floor:out")
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <RtMidi.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

int main() {
  RtMidiOut out(RtMidi::UNIX_JACK, "quillbox-floor");
  out.openVirtualPort("out");

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
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

  static char buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 4) continue;
    std::uint32_t bits;
    std::memcpy(&bits, buf + n - 4, 4);
    bits = ntohl(bits);
    float seek;
    std::memcpy(&seek, &bits, 4);
    const long position = std::lrint(seek);  // halves to even, as quillbox rounds
    if (position < 0 || position >= 128 * 600) continue;
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
}
