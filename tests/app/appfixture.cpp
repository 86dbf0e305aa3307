#include "tests/app/appfixture.h"

#include "platform/application.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <bit>
#include <cstring>

#include "app/registry.h"
#include "midi/midiservice.h"

namespace apptest {

Peer::Peer(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

Peer::~Peer() {
  if (fd_ >= 0) ::close(fd_);
}

void Peer::SendTo(const std::string& bytes, uint16_t port, const char* host) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, host, &a.sin_addr);
  const ssize_t n =
      ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ASSERT_EQ(n, static_cast<ssize_t>(bytes.size())) << std::strerror(errno);
}

std::optional<Peer::Datagram> Peer::TryReceive() {
  char buf[2048];
  sockaddr_in a{};
  socklen_t len = sizeof a;
  const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return std::nullopt;
  char host[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
  return Datagram{std::string(buf, static_cast<size_t>(n)), host, ntohs(a.sin_port)};
}

std::optional<Peer::Datagram> Peer::Receive(std::chrono::milliseconds deadline) {
  std::optional<Datagram> d;
  qbtest::PumpUntil([&] { return (d = TryReceive()).has_value(); }, deadline);
  return d;
}

bool PortFree(uint16_t port) {
  Peer p(port);
  return p.ok();
}

std::string BigEndian(uint32_t bits) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(bits >> (24 - 8 * i));
  return s;
}
std::string Single(float value) {
  return BigEndian(std::bit_cast<uint32_t>(value));
}
std::string Integer(int32_t value) {
  return BigEndian(static_cast<uint32_t>(value));
}

namespace {
std::string Padded(std::string s) {
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  return s;
}
}  // namespace

std::string FloatMessage(const std::string& address, float value) {
  return Padded(address) + Padded(",f") + Single(value);
}
std::string IntMessage(const std::string& address, int32_t value) {
  return Padded(address) + Padded(",i") + Integer(value);
}
std::string Bundle(const std::string& element) {
  return std::string("#bundle\0", 8) + std::string("\0\0\0\0\0\0\0\1", 8) +
         BigEndian(static_cast<uint32_t>(element.size())) + element;
}

void AppTest::SetUp() {
  ASSERT_TRUE(config_.isValid());
  qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
  qb::SetMidiService(&midi_);
  errors_ = std::make_unique<qbtest::RecordingPresenter>();
}

void AppTest::TearDown() {
  qb::Application().SetMainForm(nullptr);
  form_.reset();
  errors_.reset();
  qb::SetMidiService(nullptr);
  qunsetenv("XDG_CONFIG_HOME");
}

void AppTest::WriteSettings(const std::string& body) {
  // Raw INI text, so that any content (a value of the wrong type, names in any case) can be
  // put where the store will look.
  QDir().mkpath(config_.path() + "/quillbox");
  QFile f(config_.path() + "/quillbox/quillbox.ini");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(body.data(), static_cast<qint64>(body.size()));
  f.flush();
  // The settings library keeps a parsed copy of every file it has read in this process and
  // trusts it while size and modification time (to the millisecond) are unchanged. Two
  // rewrites of equal size within one millisecond would leave it the old copy, so every
  // rewrite gets a modification time of its own.
  static int rewrites = 0;
  ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(++rewrites),
                            QFileDevice::FileModificationTime));
}

std::optional<int32_t> AppTest::StoredValue(const std::string& name) {
  qb::TRegistry reg;
  if (!reg.OpenKey("\\Software\\Quillbox", false) || !reg.ValueExists(name)) return std::nullopt;
  return reg.ReadInteger(name);
}

void AppTest::AddDevices(int count) {
  for (int i = 0; i < count; ++i) midi_.AddDevice(std::string("Synth ") + char('A' + i));
}

TForm1& AppTest::Start() {
  form_ = std::make_unique<TForm1>();
  form_->show();
  return *form_;
}

std::vector<uint32_t> AppTest::ShortPacked() const {
  std::vector<uint32_t> out;
  for (const auto& m : midi_.ShortMessages()) out.push_back(m.packed);
  return out;
}

std::vector<std::vector<uint8_t>> AppTest::LongBytes() {
  midi_.CompleteLongMessages();
  std::vector<std::vector<uint8_t>> out;
  for (const auto& m : midi_.LongMessages()) out.push_back(m.bytes);
  return out;
}

}  // namespace apptest
