// Writes quillbox's application icon, the yellow square with its black frame and "O" that
// the notification area shows, as hicolor PNGs at every size and one scalable SVG, all from
// the one description below:
//   make-icons <folder> <name>  ->  <folder>/hicolor/<n>x<n>/apps/<name>.png, .../scalable/...
// Each size is drawn for itself: the frame is a whole number of pixels in proportion to the
// side, the "O" is covered sample by sample (crisp at 16 px like the tray's, smooth above).
#include <QDir>
#include <QImage>
#include <QSaveFile>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Proportions of the side.
constexpr double kFrame = 1.0 / 16;      // the black frame
constexpr double kRingWidth = 1.0 / 16;  // the letter's stroke
constexpr double kRadiusX = 1.0 / 4;     // the letter's outer half width
constexpr double kRadiusY = 9.0 / 32;    // and half height: an "O" is taller than wide
constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kSvgSide = 256;

int FramePixels(int side) {
  return std::max(1, static_cast<int>(side * kFrame));
}

bool InEllipse(double x, double y, double rx, double ry) {
  return (x * x) / (rx * rx) + (y * y) / (ry * ry) <= 1.0;
}

// The share of pixel (px, py) that the letter covers, from 16 x 16 samples.
double RingCoverage(int side, int px, int py) {
  const double c = side / 2.0;
  const double orx = kRadiusX * side, ory = kRadiusY * side;
  const double irx = orx - kRingWidth * side, iry = ory - kRingWidth * side;
  constexpr int kSamples = 16;
  int hits = 0;
  for (int j = 0; j < kSamples; ++j)
    for (int i = 0; i < kSamples; ++i) {
      const double x = px + (i + 0.5) / kSamples - c;
      const double y = py + (j + 0.5) / kSamples - c;
      hits += InEllipse(x, y, orx, ory) && !InEllipse(x, y, irx, iry);
    }
  return static_cast<double>(hits) / (kSamples * kSamples);
}

QImage Draw(int side) {
  QImage image(side, side, QImage::Format_RGB32);
  const int frame = FramePixels(side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      double black = 1.0;
      if (x >= frame && y >= frame && x < side - frame && y < side - frame) {
        black = RingCoverage(side, x, y);
        if (side <= 16) black = black >= 0.5 ? 1.0 : 0.0;  // tray-sized: whole pixels only
      }
      const int level = static_cast<int>(std::lround(255 * (1.0 - black)));
      image.setPixel(x, y, qRgb(level, level, 0));
    }
  return image;
}

QString Svg() {
  const double s = kSvgSide, c = s / 2, f = FramePixels(kSvgSide);
  const double orx = kRadiusX * s, ory = kRadiusY * s, w = kRingWidth * s;
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
             "viewBox=\"0 0 %1 %1\">\n"
             "  <rect width=\"%1\" height=\"%1\" fill=\"#000000\"/>\n"
             "  <rect x=\"%2\" y=\"%2\" width=\"%3\" height=\"%3\" fill=\"#ffff00\"/>\n"
             "  <ellipse cx=\"%4\" cy=\"%4\" rx=\"%5\" ry=\"%6\" fill=\"#000000\"/>\n"
             "  <ellipse cx=\"%4\" cy=\"%4\" rx=\"%7\" ry=\"%8\" fill=\"#ffff00\"/>\n"
             "</svg>\n")
      .arg(s)
      .arg(f)
      .arg(s - 2 * f)
      .arg(c)
      .arg(orx)
      .arg(ory)
      .arg(orx - w)
      .arg(ory - w);
}

bool Write(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(bytes) == bytes.size() && file.commit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-icons <folder> <name>\n");
    return 2;
  }
  const QString root = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/hicolor/");
  const QString name = QString::fromLocal8Bit(argv[2]);
  for (int side : kSizes) {
    const QString dir = root + QStringLiteral("%1x%1/apps").arg(side);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!QDir().mkpath(dir) || !Draw(side).save(path, "PNG")) {
      std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  const QString dir = root + QStringLiteral("scalable/apps");
  const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".svg");
  if (!QDir().mkpath(dir) || !Write(path, Svg().toUtf8())) {
    std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(path));
    return 1;
  }
  return 0;
}
