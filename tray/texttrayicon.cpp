#include "tray/texttrayicon.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

namespace qb {
namespace {

QString ToQString(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Width and height of a text as drawn with the painter's font.
QSize Measure(const QFontMetrics& fm, const QString& text) {
  return QSize(fm.horizontalAdvance(text), fm.height());
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string s = text;
  for (;;) {
    auto cr = s.find('\r');
    if (cr == std::string::npos) {
      lines.push_back(s);
      return lines;
    }
    lines.push_back(s.substr(0, cr));
    s.erase(0, cr + 1);
  }
}

TTextTrayIcon::TTextTrayIcon(TComponent* owner) : TCoolTrayIcon(owner) {
  background_icon_ = std::make_unique<TIcon>();
  text_bitmap_ = QImage(16, 16, QImage::Format_RGB32);
  font_ = std::make_unique<TFont>();
  font_->OnChange = [this] { RebuildIcon(); };
  color_ = clBtnFace;
  border_color_ = clBlack;
  options_ = std::make_unique<TOffsetOptions>();
  options_->OnChange = [this](TObject*) { RebuildIcon(); };
  if (Designing() && background_icon_->Empty() && AllowsDefaultBackgroundIcon() &&
      QApplication::style()) {
    background_icon_->SetImage(
        QApplication::style()->standardIcon(QStyle::SP_DesktopIcon).pixmap(16, 16).toImage());
    RebuildIcon();
  }
}

TTextTrayIcon::~TTextTrayIcon() {
  font_.reset();
  text_bitmap_ = QImage();
  options_.reset();
  try {
    background_icon_.reset();
  } catch (...) {
  }
}

void TTextTrayIcon::SetBackgroundIcon(const QImage& image) {
  background_icon_->SetImage(image);
  RebuildIcon();
}

void TTextTrayIcon::SetText(std::string text) {
  text_ = std::move(text);
  RebuildIcon();
}

void TTextTrayIcon::SetFont(const TFont& font) {
  font_->Assign(font);
  RebuildIcon();
}

void TTextTrayIcon::SetColor(TColor color) {
  color_ = color;
  RebuildIcon();
}

void TTextTrayIcon::SetBorder(bool on) {
  border_ = on;
  RebuildIcon();
}

void TTextTrayIcon::SetBorderColor(TColor color) {
  border_color_ = color;
  RebuildIcon();
}

void TTextTrayIcon::SetOptions(const TOffsetOptions& options) {
  *options_ = options;
  RebuildIcon();
}

void TTextTrayIcon::RebuildIcon() {
  SetCycleIcons(false);
  RenderTextBitmap();
  TIcon temp;
  if (!background_icon_->Empty()) {
    ComposeOverBackground(text_bitmap_, temp, color_);
  } else {
    if (color_ != clNone) key_colour_ = clNone;  // every pixel opaque
    BitmapToIconImage(text_bitmap_, temp, key_colour_);
  }
  Icon().Assign(temp);  // its change notification updates the tray entry
}

void TTextTrayIcon::RenderTextBitmap() {
  QImage b(16, 16, QImage::Format_RGB32);
  if (color_ == clNone || color_ == font_->Color())
    key_colour_ = ColorToRGB(font_->Color()) ^ 0xFFFFFFu;
  else
    key_colour_ = color_;
  b.fill(ToQColor(key_colour_));

  QPainter p(&b);
  p.setRenderHint(QPainter::TextAntialiasing, false);
  p.setFont(font_->ToQFont());
  p.setPen(ToQColor(font_->Color()));
  QFontMetrics fm = p.fontMetrics();
  auto draw = [&](int left, int top, const QString& s) { p.drawText(left, top + fm.ascent(), s); };

  // Centred on 15, not 16; division rounds toward zero, so wide texts start left of 0.
  auto cr = text_.find('\r');
  if (cr != std::string::npos) {
    std::vector<std::string> lines = SplitLines(text_);
    int h = Measure(fm, ToQString(text_.substr(cr))).height() + options_->LineDistance();
    int top = (15 - static_cast<int>(lines.size()) * h) / 2 + options_->OffsetY();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      QString line = ToQString(lines[i]);
      int left = (15 - Measure(fm, line).width()) / 2 + options_->OffsetX();
      draw(left, top + static_cast<int>(i) * h, line);
    }
  } else {
    QString text = ToQString(text_);
    QSize size = Measure(fm, text);
    draw((15 - size.width()) / 2 + options_->OffsetX(),
         (15 - size.height()) / 2 + options_->OffsetY(), text);
  }
  p.end();

  if (border_) {
    QRgb c = ToQColor(border_color_).rgb();
    for (int i = 0; i < 16; ++i) {
      b.setPixel(i, 0, c);
      b.setPixel(i, 15, c);
      b.setPixel(0, i, c);
      b.setPixel(15, i, c);
    }
  }
  text_bitmap_ = b;
}

bool TTextTrayIcon::ComposeOverBackground(const QImage& textBitmap, TIcon& target, TColor color) {
  TColor mask = (color_ == clNone || color_ == font_->Color())
                    ? ColorToRGB(font_->Color()) ^ 0xFFFFFFu
                    : color;
  QImage c(16, 16, QImage::Format_ARGB32);
  c.fill(ToQColor(mask));
  {
    QPainter p(&c);
    p.drawImage(QRect(0, 0, 16, 16), background_icon_->Image());
  }
  // The text bitmap without its background covers the background icon.
  QRgb key = ToQColor(key_colour_).rgb();
  QImage text = textBitmap.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < 16 && y < text.height(); ++y)
    for (int x = 0; x < 16 && x < text.width(); ++x)
      if (text.pixel(x, y) != key) c.setPixel(x, y, text.pixel(x, y));
  return BitmapToIconImage(c, target, mask);
}

}  // namespace qb
