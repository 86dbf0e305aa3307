// The installed application icons: at every size the yellow square with its dark frame and
// the "O", each drawn for its own size; the scalable one shows the same.
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QString IconFile(const QString& folder, const QString& ext) {
  return QString::fromLocal8Bit(std::getenv("QB_ICON_ROOT")) + "/" + folder + "/apps/" +
         QString::fromLocal8Bit(std::getenv("QB_APP_ID")) + ext;
}

QImage Png(int side) {
  return QImage(IconFile(QStringLiteral("%1x%1").arg(side), ".png"))
      .convertToFormat(QImage::Format_RGB32);
}

// The SVG as a desktop's icon loader renders it.
QImage RenderedSvg(int side) {
  QTemporaryDir dir;
  const QString out = dir.path() + "/icon.png";
  QProcess p;
  p.start("rsvg-convert", {"-w", QString::number(side), "-h", QString::number(side), "-o", out,
                           IconFile("scalable", ".svg")});
  if (!p.waitForFinished(20000) || p.exitCode() != 0) return {};
  return QImage(out).convertToFormat(QImage::Format_RGB32);
}

bool Dark(QRgb c) {
  return qGray(c) < 96;
}
bool Yellow(QRgb c) {
  return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) < 80;
}

// Runs of dark and light pixels along a line through the middle: {dark?, length}.
struct Run {
  bool dark;
  int length;
};
std::vector<Run> Runs(const QImage& img, bool across) {
  std::vector<Run> runs;
  const int n = img.width(), mid = n / 2;
  for (int i = 0; i < n; ++i) {
    const bool d = Dark(across ? img.pixel(i, mid) : img.pixel(mid, i));
    if (runs.empty() || runs.back().dark != d)
      runs.push_back({d, 1});
    else
      ++runs.back().length;
  }
  return runs;
}

// What every rendering of the icon shows, whatever made it.
void ExpectTheIcon(const QImage& img, int side) {
  ASSERT_EQ(img.size(), QSize(side, side));
  // A dark frame all round, yellow just inside it and in the middle of the "O".
  for (int i = 0; i < side; ++i) {
    EXPECT_TRUE(Dark(img.pixel(i, 0)) && Dark(img.pixel(i, side - 1))) << "column " << i;
    EXPECT_TRUE(Dark(img.pixel(0, i)) && Dark(img.pixel(side - 1, i))) << "row " << i;
  }
  const int frame = Runs(img, true).front().length;
  EXPECT_LE(std::abs(frame - side / 16.0), 1.0) << "frame " << frame;
  for (const QPoint p :
       {QPoint(frame, frame), QPoint(side - 1 - frame, frame), QPoint(frame, side - 1 - frame),
        QPoint(side - 1 - frame, side - 1 - frame), QPoint(side / 2, side / 2)})
    EXPECT_TRUE(Yellow(img.pixel(p))) << p.x() << "," << p.y();

  // Across and down the middle: frame, yellow, the letter's stroke, its yellow inside, the
  // stroke again, yellow, frame. The letter stays in proportion to the side.
  for (bool across : {true, false}) {
    SCOPED_TRACE(across ? "across" : "down");
    const std::vector<Run> runs = Runs(img, across);
    ASSERT_EQ(runs.size(), 7u);
    const bool dark[] = {true, false, true, false, true, false, true};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(runs[i].dark, dark[i]) << i;
    EXPECT_LE(std::abs(runs[0].length - runs[6].length), 1);  // centred
    EXPECT_LE(std::abs(runs[2].length - runs[4].length), 1);
    EXPECT_LE(std::abs(runs[2].length - side / 16.0), 1.5) << "stroke " << runs[2].length;
    const int letter = runs[2].length + runs[3].length + runs[4].length;
    EXPECT_GE(letter, 0.4 * side);
    EXPECT_LE(letter, 0.65 * side);
  }
}

// Shades between yellow and black: the letter's edge is smoothed.
int Shades(const QImage& img) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += !Dark(img.pixel(x, y)) && !Yellow(img.pixel(x, y));
  return n;
}

}  // namespace

TEST(InstalledIcons, EverySizeIsTheYellowFramedOAndDrawnForItsSize) {
  for (int side : kSizes) {
    SCOPED_TRACE(side);
    const QImage img = Png(side);
    ExpectTheIcon(img, side);
    if (side == 16) {
      EXPECT_EQ(Shades(img), 0) << "the tray-sized icon is whole pixels, as the tray's is";
    } else if (side >= 32) {
      // Drawn for the size: an upscaled 16-pixel icon would have hard steps and no shades.
      EXPECT_GT(Shades(img), side / 4);
    }
  }
}

TEST(InstalledIcons, ScalableIconShowsTheSameAtAnySize) {
  for (int side : {16, 48, 256}) {
    SCOPED_TRACE(side);
    const QImage svg = RenderedSvg(side);
    ExpectTheIcon(svg, side);
    if (side < 48) continue;
    // Pixel by pixel it is the PNG of that size, up to the smoothing of edges.
    const QImage png = Png(side);
    double diff = 0;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x)
        diff += std::abs(qGray(svg.pixel(x, y)) - qGray(png.pixel(x, y)));
    EXPECT_LT(diff / (side * side), 4.0);
  }
}
