// The monitor device: every message as one line of upper-case hex bytes, so the bridge always
// has somewhere to send, even on a machine without a MIDI system.
#include <mutex>
#include <string>

#include "midi/backends.h"

namespace qb::detail {
namespace {

std::mutex& StreamMutex() {
  static std::mutex m;  // lines from several devices never interleave
  return m;
}

class MonitorDevice : public OutputDevice {
 public:
  explicit MonitorDevice(std::FILE* out) : out_(out) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t length) override {
    return Write(bytes, length, nullptr);
  }
  // A timed message is handed over when it is due; its line says when that was meant to be
  // (seconds on the steady clock), since the stream may be read long after.
  MMRESULT SendAt(const std::uint8_t* bytes, std::size_t length, std::int64_t due_us) override {
    return Write(bytes, length, &due_us);
  }

 private:
  MMRESULT Write(const std::uint8_t* bytes, std::size_t length, const std::int64_t* due_us) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(length * 3 + 24);
    for (std::size_t i = 0; i < length; ++i) {
      if (i) line += ' ';
      line += digits[bytes[i] >> 4];
      line += digits[bytes[i] & 0x0F];
    }
    if (due_us) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, " @%lld.%06lld", static_cast<long long>(*due_us / 1000000),
                    static_cast<long long>(*due_us % 1000000));
      line += stamp;
    }
    line += '\n';
    std::lock_guard lock(StreamMutex());
    if (std::fputs(line.c_str(), out_) == EOF || std::fflush(out_) != 0) return MMSYSERR_ERROR;
    return MMSYSERR_NOERROR;
  }

  std::FILE* out_;
};

class MonitorProvider : public DeviceProvider {
 public:
  explicit MonitorProvider(std::FILE* out) : out_(out) {}
  std::vector<DeviceEntry> Devices() override {
    DeviceEntry e;
    e.name = kMonitorDeviceName;
    std::FILE* out = out_;
    e.open = [out](std::unique_ptr<OutputDevice>& device) {
      device = std::make_unique<MonitorDevice>(out);
      return MMSYSERR_NOERROR;
    };
    std::vector<DeviceEntry> list;
    list.push_back(std::move(e));
    return list;
  }

 private:
  std::FILE* out_;
};

}  // namespace

std::unique_ptr<DeviceProvider> CreateMonitorProvider(std::FILE* out) {
  return std::make_unique<MonitorProvider>(out);
}

}  // namespace qb::detail
