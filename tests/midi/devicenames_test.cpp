// The device list's names: unique, at most 31 bytes, whole UTF-8, and telling ports apart.
#include <gtest/gtest.h>

#include <set>

#include "midi/devicenames.h"

using qb::detail::kShortNameBytes;
using qb::detail::MakeDeviceNames;

namespace {

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

struct Row {
  const char* what;
  std::vector<std::string> names;
  // Pieces each short name must keep: its start and its end.
  std::vector<std::pair<std::string, std::string>> keeps;
};

const Row kRows[] = {
    {"names that fit stay",
     {"quillbox", "system:midi_playback_1"},
     {{"quillbox", ""}, {"system:midi_playback_1", ""}}},
    {"a long bridge name keeps its client and its port's end",
     {"a2j:Midi Through [14] (playback): Midi Through Port-0"},
     {{"a2j:Midi", "Through Port-0"}}},
    {"two ports of one interface, alike but for their end",
     {"a2j:USB MIDI Interface [20] (playback): USB MIDI Interface MIDI 1",
      "a2j:USB MIDI Interface [20] (playback): USB MIDI Interface MIDI 2"},
     {{"a2j:", "MIDI 1"}, {"a2j:", "MIDI 2"}}},
    {"two identical interfaces, alike but for their middle",
     {"a2j:USB MIDI Interface [20] (playback): USB MIDI Interface MIDI 1",
      "a2j:USB MIDI Interface [24] (playback): USB MIDI Interface MIDI 1"},
     {{"a2j:", ""}, {"a2j:", ""}}},
    {"one name twice",
     {"Launchpad:in", "Launchpad:in"},
     {{"Launchpad:in", ""}, {"Launchpad:in", ""}}},
    {"UTF-8 names are cut between characters",
     {"Größenwahn-Synthesizer mit Überlänge:Eingang ä",
      "Größenwahn-Synthesizer mit Überlänge:Eingang ö"},
     {{"Größenwahn", "Eingang ä"}, {"Größenwahn", "Eingang ö"}}},
};

}  // namespace

TEST(DeviceNames, ShortNamesAreUniqueWholeAndKeepWhatTellsPortsApart) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    const auto made = MakeDeviceNames(row.names);
    ASSERT_EQ(made.full.size(), row.names.size());
    ASSERT_EQ(made.short_.size(), row.names.size());
    EXPECT_EQ(std::set<std::string>(made.full.begin(), made.full.end()).size(), row.names.size());
    EXPECT_EQ(std::set<std::string>(made.short_.begin(), made.short_.end()).size(),
              row.names.size());
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::string& s = made.short_[i];
      EXPECT_LE(s.size(), kShortNameBytes) << s;
      EXPECT_TRUE(ValidUtf8(s)) << s;
      EXPECT_EQ(s.rfind(row.keeps[i].first, 0), 0u) << s;
      const std::string& end = row.keeps[i].second;
      EXPECT_TRUE(s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0)
          << s;
    }
  }
}

TEST(DeviceNames, RepeatedNamesGetNumbersAndTheFirstKeepsItsOwn) {
  const auto made = MakeDeviceNames({"x:in", "y:in", "x:in", "x:in"});
  EXPECT_EQ(made.full, (std::vector<std::string>{"x:in", "y:in", "x:in (2)", "x:in (3)"}));
}

TEST(DeviceNames, ManyPortsAlikeButForOneCharacterInTheMiddleStayApart) {
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i)
    names.push_back("a2j:Interface with a long name [" + std::to_string(10 + i) +
                    "] (playback): Interface with a long name MIDI 1");
  const auto made = MakeDeviceNames(names);
  EXPECT_EQ(std::set<std::string>(made.short_.begin(), made.short_.end()).size(), names.size());
  for (const auto& s : made.short_) {
    EXPECT_LE(s.size(), kShortNameBytes) << s;
    EXPECT_TRUE(ValidUtf8(s)) << s;
  }
}
