// The settings store on its own: names without regard to case, open with and without creating,
// the store's messages.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "app/registry.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    qputenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit());
  }
  void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }
  QByteArray FileText() {
    QFile f(QString::fromStdString(qb::TRegistry::FileName()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QTemporaryDir dir_;
};

TEST_F(RegistryTest, FileLivesUnderTheUsersConfigDirectory) {
  EXPECT_EQ(qb::TRegistry::FileName(), dir_.path().toStdString() + "/quillbox/quillbox.ini");
}

TEST_F(RegistryTest, MissingKeyOpensOnlyWhenCreating) {
  qb::TRegistry reg;
  EXPECT_FALSE(reg.OpenKey("\\Software\\Quillbox", false));
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", true));
  reg.WriteInteger("Device", 3);
  reg.CloseKey();
  EXPECT_TRUE(reg.OpenKey("\\Software\\Quillbox", false));
  EXPECT_EQ(reg.ReadInteger("Device"), 3);
  // Key names are found whatever their case, too.
  EXPECT_TRUE(reg.OpenKey("\\software\\QUILLBOX", false));
  EXPECT_EQ(reg.ReadInteger("device"), 3);
}

TEST_F(RegistryTest, NamesAreComparedWithoutRegardToCase) {
  qb::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", true));
  reg.WriteInteger("Device", 2);
  reg.WriteInteger("device", 7);  // the same value, not a second one
  reg.WriteInteger("xpos", -12);
  EXPECT_EQ(reg.ReadInteger("DEVICE"), 7);
  EXPECT_EQ(reg.ReadInteger("XPos"), -12);
  reg.CloseKey();
  const QByteArray text = FileText();
  EXPECT_EQ(text.toLower().count("device="), 1) << text.constData();
  EXPECT_TRUE(text.contains("device=7")) << text.constData();
}

TEST_F(RegistryTest, MissingAndMistypedValuesRaiseTheStoresMessages) {
  qb::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", true));
  reg.WriteInteger("channel", 1);
  try {
    reg.ReadInteger("xpos");
    ADD_FAILURE() << "no error";
  } catch (const qb::ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Fehler beim Holen der Daten für 'xpos'");
  }
  reg.CloseKey();

  // Written as raw text once (the settings library caches a file it has read).
  QFile f(QString::fromStdString(qb::TRegistry::FileName()));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(
      "[Software]\nQuillbox\\a=abc\nQuillbox\\b=1.5\nQuillbox\\c=2147483648\n"
      "Quillbox\\d=-2147483649\nQuillbox\\e=\nQuillbox\\f=\"1,2\"\nQuillbox\\g=1,2\n"
      "Quillbox\\min=-2147483648\nQuillbox\\spaced= 12 \n");
  f.close();
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", false));
  for (const char* name : {"a", "B", "c", "d", "e", "f", "g"}) {
    SCOPED_TRACE(name);
    try {
      reg.ReadInteger(name);
      ADD_FAILURE() << "no error";
    } catch (const qb::ERegistryException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Ungültiger Datentyp für '") + name + "'");
    }
  }
  EXPECT_EQ(reg.ReadInteger("min"), INT32_MIN);
  EXPECT_EQ(reg.ReadInteger("spaced"), 12);
}

}  // namespace

namespace {

// A line the settings library cannot parse (a section without its bracket) once made every
// later write fail, so a damaged file kept the bridge from ever storing its settings again.
TEST_F(RegistryTest, DamagedLineLeavesTheRestReadableAndWritable) {
  QFile f(QString::fromStdString(qb::TRegistry::FileName()));
  ASSERT_TRUE(QDir().mkpath(QFileInfo(f).path()));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("[Software@\nQuillbox\\Device=2\n[Software]\nQuillbox\\xpos=5\n");
  f.close();
  qb::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", false));
  EXPECT_EQ(reg.ReadInteger("xpos"), 5);
  EXPECT_FALSE(reg.ValueExists("Device"));
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", true));
  EXPECT_NO_THROW(reg.WriteInteger("channel", 17));
  reg.CloseKey();
  ASSERT_TRUE(reg.OpenKey("\\Software\\Quillbox", false));
  EXPECT_EQ(reg.ReadInteger("channel"), 17);
  EXPECT_EQ(reg.ReadInteger("xpos"), 5);
  EXPECT_TRUE(FileText().contains("channel=17")) << FileText().constData();
}

}  // namespace
