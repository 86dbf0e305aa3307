#include "tray/texttrayicon.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QRect>

#include "tests/common/testsupport.h"
#include "tray/fake/faketrayservice.h"

using qb::TTextTrayIcon;

namespace {

constexpr QRgb kYellow = 0xFFFFFF00;
constexpr QRgb kBlack = 0xFF000000;

// The stored font of the main window's icon.
qb::TFont StoredFont() {
  qb::TFont f;
  f.SetCharset(1);
  f.SetColor(qb::clWindowText);
  f.SetHeight(-11);
  f.SetName("MS Sans Serif");
  f.SetStyle(0);
  return f;
}

QRgb WindowText() {
  return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText).rgb();
}

// Bounding box of the pixels inside the frame that are not the background.
QRect Ink(const QImage& img, QRgb background) {
  QRect box;
  for (int y = 1; y < 15; ++y)
    for (int x = 1; x < 15; ++x)
      if ((img.pixel(x, y) | 0xFF000000u) != (background | 0xFF000000u)) box |= QRect(x, y, 1, 1);
  return box;
}

// Draws lines at given top-left corners, as the icon should, for comparison.
QImage Reference(QRgb background, const qb::TFont& font,
                 const std::vector<std::pair<QPoint, QString>>& lines, bool border) {
  QImage b(16, 16, QImage::Format_RGB32);
  b.fill(background);
  QPainter p(&b);
  p.setRenderHint(QPainter::TextAntialiasing, false);
  p.setFont(font.ToQFont());
  p.setPen(qb::ToQColor(font.Color()));
  for (auto& [at, text] : lines) p.drawText(at.x(), at.y() + p.fontMetrics().ascent(), text);
  p.end();
  if (border) {
    for (int i = 0; i < 16; ++i) {
      b.setPixel(i, 0, kBlack);
      b.setPixel(i, 15, kBlack);
      b.setPixel(0, i, kBlack);
      b.setPixel(15, i, kBlack);
    }
  }
  return b;
}

QFontMetrics Metrics(const qb::TFont& font) {
  QImage device(16, 16, QImage::Format_RGB32);
  return QFontMetrics(font.ToQFont(), &device);
}

class TextTrayIconTest : public testing::Test {
 protected:
  // The main window's icon, with its stored values applied in order and then loaded.
  void LoadStored(TTextTrayIcon& icon) {
    icon.BeginLoading();
    icon.SetCycleInterval(0);
    icon.SetHint("quillbox");
    QImage stored(16, 16, QImage::Format_Indexed8);
    stored.setColorCount(16);
    stored.fill(0);
    icon.SetIcon(stored);
    icon.SetIconVisible(true);
    icon.SetIconIndex(0);
    icon.SetMinimizeToTray(true);
    icon.SetOnDblClick([](qb::TObject*) {});
    icon.SetText("O");
    icon.SetFont(StoredFont());
    icon.SetColor(qb::clYellow);
    icon.SetBorder(true);
    icon.SetOptions(qb::TOffsetOptions());
    icon.Loaded();
  }
  const QImage& Shown(TTextTrayIcon& icon) {
    auto* e = tray.service.Find(icon.NotifyRecord().hWnd, icon.TrayId());
    EXPECT_NE(e, nullptr);
    static QImage none;
    return e ? e->image : none;
  }
  std::size_t Renders() { return tray.service.CallsOf(qb::NIM_MODIFY).size(); }

  qb::ScopedFakeTray tray;
  qb::TComponent owner{nullptr};
};

TEST(SplitLines, OnlyCarriageReturnsSeparate) {
  using V = std::vector<std::string>;
  EXPECT_EQ(qb::SplitLines("O"), V{"O"});
  EXPECT_EQ(qb::SplitLines(""), V{""});
  EXPECT_EQ(qb::SplitLines("ab\rcd"), (V{"ab", "cd"}));
  EXPECT_EQ(qb::SplitLines("ab\r\ncd"), (V{"ab", "\ncd"}));
  EXPECT_EQ(qb::SplitLines("ab\ncd"), V{"ab\ncd"});
  EXPECT_EQ(qb::SplitLines("a\r"), (V{"a", ""}));
  EXPECT_EQ(qb::SplitLines("\r\r"), (V{"", "", ""}));
}

TEST(OffsetOptions, NotifiesOnlyRealChanges) {
  qb::TOffsetOptions o;
  int changes = 0;
  qb::TObject* sender = nullptr;
  o.OnChange = [&](qb::TObject* s) {
    ++changes;
    sender = s;
  };
  o.SetOffsetX(0);
  o.SetLineDistance(0);
  EXPECT_EQ(changes, 0);
  o.SetOffsetX(2);
  o.SetOffsetY(-1);
  o.SetLineDistance(3);
  o.SetOffsetY(-1);
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(sender, &o);
  qb::TOffsetOptions copy(o);
  EXPECT_EQ(copy.OffsetX(), 2);
  EXPECT_EQ(copy.LineDistance(), 3);
  EXPECT_FALSE(copy.OnChange);
}

TEST(Colours, SystemColoursResolveThroughThePalette) {
  const QPalette pal = QGuiApplication::palette();
  EXPECT_EQ(qb::ToQColor(qb::clBtnFace).rgb(), pal.color(QPalette::Button).rgb());
  EXPECT_EQ(qb::ToQColor(qb::clWindowText).rgb(), pal.color(QPalette::WindowText).rgb());
  EXPECT_EQ(qb::ToQColor(qb::clYellow).rgb(), kYellow);
  EXPECT_EQ(qb::ColorToRGB(0x00123456), 0x00123456u);
  EXPECT_EQ(qb::ToQColor(0x00123456).rgb(), 0xFF563412u);
}

TEST_F(TextTrayIconTest, StoredOIconIsYellowWithFrameAndCentredGlyph) {
  TTextTrayIcon icon(&owner);
  EXPECT_EQ(icon.Color(), qb::clBtnFace);
  EXPECT_EQ(icon.BorderColor(), qb::clBlack);
  EXPECT_FALSE(icon.Border());
  EXPECT_TRUE(icon.Text().empty());
  LoadStored(icon);

  const QImage& img = Shown(icon);
  ASSERT_EQ(img.size(), QSize(16, 16));
  EXPECT_EQ(icon.Icon().Image(), img);
  EXPECT_EQ(tray.service.Find(icon.NotifyRecord().hWnd, icon.TrayId())->tip, "quillbox");
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      QRgb px = img.pixel(x, y);
      ASSERT_EQ(qAlpha(px), 255) << x << "," << y;  // opaque everywhere
      if (x == 0 || y == 0 || x == 15 || y == 15) {
        EXPECT_EQ(px, kBlack) << x << "," << y;
      }
    }

  QFontMetrics fm = Metrics(StoredFont());
  int w = fm.horizontalAdvance("O"), h = fm.height();
  int left = (15 - w) / 2, top = (15 - h) / 2;
  QRect ink = Ink(img, kYellow);
  ASSERT_FALSE(ink.isEmpty());
  EXPECT_TRUE(QRect(left, top, w, h).contains(ink)) << ink.x() << "," << ink.y();
  EXPECT_EQ(img.pixel(1, 1), kYellow);
  EXPECT_EQ(img.pixel(ink.center()), kYellow);  // the hole of the "O"
  // Drawn without antialiasing: the glyph is the window-text colour only.
  for (int y = ink.top(); y <= ink.bottom(); ++y)
    for (int x = ink.left(); x <= ink.right(); ++x)
      EXPECT_TRUE(img.pixel(x, y) == kYellow || img.pixel(x, y) == WindowText());
  // Exactly the glyph at the centring position.
  QImage expected = Reference(kYellow, StoredFont(), {{QPoint(left, top), "O"}}, true);
  EXPECT_EQ(img.convertToFormat(QImage::Format_RGB32), expected);

  // After loading: no cycling, no exit polling, classic notifications.
  EXPECT_FALSE(icon.CycleStepTimer().Active());
  EXPECT_FALSE(icon.LeavePollTimer().Active());
  EXPECT_EQ(icon.NotifyRecord().uVersion, 0u);
}

TEST_F(TextTrayIconTest, CentringOnFifteenRoundsTowardZero) {
  TTextTrayIcon icon(&owner);
  icon.SetColor(qb::clYellow);
  QFontMetrics fm = Metrics(icon.Font());
  // Even widths tell 15 from 16 (inside the square) and toward-zero from floor (wider).
  bool evenInside = false, evenWider = false;
  for (const char* t :
       {"1", "11", "I", "ab", "x", "xx", "W", "WW", "WWWW", "WWWWW", "WWWWWW", "MMMM", "MMMMM"}) {
    icon.SetText(t);
    int w = fm.horizontalAdvance(t), h = fm.height();
    int left = (15 - w) / 2;
    QImage expected = Reference(kYellow, icon.Font(), {{QPoint(left, (15 - h) / 2), t}}, false);
    EXPECT_EQ(icon.TextBitmap().convertToFormat(QImage::Format_RGB32), expected) << t;
    evenInside |= w % 2 == 0 && w < 15;
    evenWider |= w % 2 == 0 && w > 15;
  }
  EXPECT_TRUE(evenInside);
  EXPECT_TRUE(evenWider);
}

TEST_F(TextTrayIconTest, MultiLineOffsetsAndLineDistance) {
  TTextTrayIcon icon(&owner);
  icon.SetIconVisible(true);
  icon.SetColor(qb::clYellow);
  icon.SetFont(StoredFont());
  icon.Font().SetHeight(-7);
  qb::TFont f = icon.Font();
  QFontMetrics fm = Metrics(f);
  int h = fm.height();
  auto expectLines = [&](const std::string& text, const std::vector<QString>& lines, int dx, int dy,
                         int dist) {
    int lh = h + dist;
    int top = (15 - static_cast<int>(lines.size()) * lh) / 2 + dy;
    std::vector<std::pair<QPoint, QString>> at;
    for (std::size_t i = 0; i < lines.size(); ++i)
      at.push_back(
          {QPoint((15 - fm.horizontalAdvance(lines[i])) / 2 + dx, top + static_cast<int>(i) * lh),
           lines[i]});
    EXPECT_EQ(icon.TextBitmap().convertToFormat(QImage::Format_RGB32),
              Reference(kYellow, f, at, false))
        << text;
  };

  icon.SetText("ab\rW");
  expectLines("two lines", {"ab", "W"}, 0, 0, 0);
  QRect two = Ink(icon.TextBitmap(), kYellow);

  std::size_t before = Renders();
  icon.Options().SetOffsetX(1);
  EXPECT_EQ(Renders(), before + 1);
  expectLines("offset x", {"ab", "W"}, 1, 0, 0);
  EXPECT_EQ(Ink(icon.TextBitmap(), kYellow).left(), two.left() + 1);
  icon.Options().SetOffsetX(1);  // unchanged: no render
  EXPECT_EQ(Renders(), before + 1);

  icon.Options().SetOffsetY(-1);
  icon.Options().SetLineDistance(2);
  expectLines("line distance", {"ab", "W"}, 1, -1, 2);

  // A line feed after the carriage return stays with the second line.
  icon.SetOptions(qb::TOffsetOptions());
  icon.SetText("ab\r\nWW");
  expectLines("cr lf", {"ab", "\nWW"}, 0, 0, 0);
  // A trailing carriage return adds an empty line that counts for the centring.
  icon.SetText("ab\r");
  expectLines("trailing", {"ab", ""}, 0, 0, 0);
}

TEST_F(TextTrayIconTest, ColourNoneAndColourEqualToFont) {
  TTextTrayIcon icon(&owner);
  icon.SetIconVisible(true);
  icon.SetFont(StoredFont());
  icon.SetBorder(true);
  icon.SetText("O");
  QRgb inverse = (WindowText() ^ 0x00FFFFFFu) | 0xFF000000u;

  icon.SetColor(qb::clNone);
  EXPECT_EQ(icon.KeyColour(), qb::ColorToRGB(qb::clWindowText) ^ 0xFFFFFFu);
  const QImage& img = Shown(icon);
  EXPECT_EQ(qAlpha(img.pixel(0, 0)), 255);  // the frame
  EXPECT_EQ(img.pixel(0, 7), kBlack);
  EXPECT_EQ(qAlpha(img.pixel(1, 1)), 0);  // the background
  QRect ink = Ink(icon.TextBitmap(), inverse);
  ASSERT_FALSE(ink.isEmpty());
  int opaqueInside = 0;
  for (int y = 1; y < 15; ++y)
    for (int x = 1; x < 15; ++x)
      if (qAlpha(img.pixel(x, y)) == 255) {
        ++opaqueInside;
        EXPECT_TRUE(ink.contains(x, y));
        EXPECT_EQ(img.pixel(x, y), WindowText());
      }
  EXPECT_GT(opaqueInside, 0);

  icon.SetColor(qb::clWindowText);  // the font's own colour, raw
  EXPECT_EQ(icon.KeyColour(), qb::clNone);
  const QImage& same = Shown(icon);
  EXPECT_EQ(same.pixel(1, 1), inverse);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(qAlpha(same.pixel(x, y)), 255);
}

TEST_F(TextTrayIconTest, BackgroundIconShowsThroughTheTextBackground) {
  TTextTrayIcon icon(&owner);
  icon.SetIconVisible(true);
  icon.SetFont(StoredFont());
  icon.SetColor(qb::clYellow);
  icon.SetBorder(true);
  QImage bg(16, 16, QImage::Format_ARGB32);
  bg.fill(Qt::transparent);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 8; ++x) bg.setPixel(x, y, 0xFFFF0000);  // left half red
  icon.SetBackgroundIcon(bg);
  icon.SetText("");
  const QImage& img = Shown(icon);
  EXPECT_EQ(img.pixel(0, 5), kBlack);       // border over the background
  EXPECT_EQ(img.pixel(3, 5), 0xFFFF0000u);  // background icon where the text has none
  EXPECT_EQ(qAlpha(img.pixel(12, 5)), 0);   // its own transparent part stays so
  EXPECT_EQ(img.pixel(15, 5), kBlack);
}

TEST_F(TextTrayIconTest, EverySettingRendersAndStopsCycling) {
  TTextTrayIcon icon(&owner);
  icon.SetIconVisible(true);
  qb::TImageList list(&owner);
  QImage a(16, 16, QImage::Format_ARGB32);
  a.fill(Qt::red);
  list.Add(a);
  list.Add(a);
  icon.SetIconList(&list);
  icon.SetCycleInterval(20);
  icon.SetCycleIcons(true);
  ASSERT_TRUE(icon.CycleStepTimer().Active());
  std::size_t before = Renders();
  icon.SetText("1");
  EXPECT_FALSE(icon.CycleIcons());
  EXPECT_FALSE(icon.CycleStepTimer().Active());
  EXPECT_EQ(Renders(), before + 1);

  // No setter compares: the same value renders again.
  before = Renders();
  icon.SetText("1");
  icon.SetColor(icon.Color());
  icon.SetBorder(false);
  icon.SetBorderColor(qb::clBlack);
  icon.SetOptions(icon.Options());
  EXPECT_EQ(Renders(), before + 5);

  // The owned font renders on its own changes; setting a font renders twice.
  before = Renders();
  icon.Font().SetHeight(-8);
  EXPECT_EQ(Renders(), before + 1);
  icon.Font().SetHeight(-8);
  EXPECT_EQ(Renders(), before + 1);
  icon.SetFont(StoredFont());
  EXPECT_EQ(Renders(), before + 3);
  EXPECT_EQ(icon.Font().Height(), -11);
}

}  // namespace
