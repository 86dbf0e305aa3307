#include "tray/graphics.h"

#include <QGuiApplication>
#include <QPalette>

namespace qb {
namespace {

QPalette::ColorRole RoleOf(unsigned index, QPalette::ColorGroup& group) {
  group = QPalette::Active;
  switch (index) {
    case 1:   // desktop
    case 12:  // application workspace
      return QPalette::Dark;
    case 2:   // active caption
    case 13:  // highlight
      return QPalette::Highlight;
    case 3:  // inactive caption
      group = QPalette::Inactive;
      return QPalette::Highlight;
    case 4:  // menu
    case 0:  // scroll bar
    case 10:
    case 11:  // borders
      return QPalette::Window;
    case 5:  // window
      return QPalette::Base;
    case 6:   // window frame
    case 21:  // 3D dark shadow
      return QPalette::Shadow;
    case 7:  // menu text
    case 8:  // window text
      return QPalette::WindowText;
    case 9:   // caption text
    case 14:  // highlight text
      return QPalette::HighlightedText;
    case 15:  // button face
      return QPalette::Button;
    case 16:  // button shadow
      return QPalette::Dark;
    case 17:  // grey text
      group = QPalette::Disabled;
      return QPalette::Text;
    case 18:  // button text
      return QPalette::ButtonText;
    case 19:  // inactive caption text
      group = QPalette::Inactive;
      return QPalette::HighlightedText;
    case 20:  // button highlight
      return QPalette::Light;
    case 22:  // 3D light
      return QPalette::Midlight;
    case 23:  // tooltip text
      return QPalette::ToolTipText;
    case 24:  // tooltip background
      return QPalette::ToolTipBase;
    default:
      return QPalette::Window;
  }
}

}  // namespace

TColor ColorToRGB(TColor color) {
  if (!(color & 0x80000000u)) return color;
  QPalette::ColorGroup group;
  QPalette::ColorRole role = RoleOf(color & 0xFF, group);
  return FromQColor(QGuiApplication::palette().color(group, role));
}

QColor ToQColor(TColor color) {
  TColor rgb = ColorToRGB(color);
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>((rgb >> 16) & 0xFF));
}

TColor FromQColor(const QColor& c) {
  return static_cast<TColor>(c.red()) | (static_cast<TColor>(c.green()) << 8) |
         (static_cast<TColor>(c.blue()) << 16);
}

void TIcon::SetImage(const QImage& image) {
  image_ = image;
  if (OnChange) OnChange();
}

bool TImageList::GetIcon(int index, TIcon& icon) const {
  if (index < 0 || index >= Count()) return false;
  icon.SetImage(Images[static_cast<std::size_t>(index)]);
  return true;
}

void TFont::Assign(const TFont& other) {
  CopyValues(other);
  if (OnChange) OnChange();
}

QFont TFont::ToQFont() const {
  QFont f(QString::fromStdString(name_));
  f.setStyleHint(QFont::SansSerif, QFont::NoAntialias);
  int px = height_ < 0 ? -height_ : height_;
  if (px > 0) f.setPixelSize(px);
  f.setBold(style_ & fsBold);
  f.setItalic(style_ & fsItalic);
  f.setUnderline(style_ & fsUnderline);
  f.setStrikeOut(style_ & fsStrikeOut);
  return f;
}

}  // namespace qb
