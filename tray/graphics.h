// Colours, icons, image lists and fonts as the tray components use them, on QImage and QFont.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/component.h"

namespace qb {

// 0x00BBGGRR; with the top bit set a system colour whose index is the low byte; clNone is none.
using TColor = std::uint32_t;
inline constexpr TColor clNone = 0x1FFFFFFF;
inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clYellow = 0x0000FFFF;
inline constexpr TColor clWhite = 0x00FFFFFF;
inline constexpr TColor clBtnFace = 0x8000000F;
inline constexpr TColor clWindowText = 0x80000008;
inline constexpr TColor clWindow = 0x80000005;

// The RGB value: system colours come from the application palette, others stay as they are.
TColor ColorToRGB(TColor color);
QColor ToQColor(TColor color);  // resolved, opaque
TColor FromQColor(const QColor& color);

// An icon image; a null image is the empty icon. OnChange is told of every change.
class TIcon {
 public:
  TIcon() = default;
  explicit TIcon(QImage image) : image_(std::move(image)) {}
  TIcon(const TIcon& other) : image_(other.image_) {}  // the notification stays behind
  TIcon& operator=(const TIcon&) = delete;

  const QImage& Image() const { return image_; }
  bool Empty() const { return image_.isNull(); }
  void SetImage(const QImage& image);
  void Assign(const TIcon& other) { SetImage(other.image_); }

  std::function<void()> OnChange;

 private:
  QImage image_;
};

// A list of 16x16 images.
class TImageList : public TComponent {
 public:
  explicit TImageList(TComponent* owner) : TComponent(owner) {}
  int Count() const { return static_cast<int>(Images.size()); }
  void Add(const QImage& image) { Images.push_back(image); }
  // Copies image n into the icon; false (icon untouched) when there is no image n.
  bool GetIcon(int index, TIcon& icon) const;

  std::vector<QImage> Images;
};

enum TFontStyle : std::uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

// A font description. Copies carry the values, never the change notification; Assign copies
// the values and tells OnChange once. A negative height is a character height in pixels.
class TFont {
 public:
  TFont() = default;
  TFont(const TFont& other) { CopyValues(other); }
  TFont& operator=(const TFont& other) {
    CopyValues(other);
    return *this;
  }

  int Charset() const { return charset_; }
  void SetCharset(int v) { Set(charset_, v); }
  TColor Color() const { return color_; }
  void SetColor(TColor v) { Set(color_, v); }
  int Height() const { return height_; }
  void SetHeight(int v) { Set(height_, v); }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& v) { Set(name_, v); }
  std::uint8_t Style() const { return style_; }
  void SetStyle(std::uint8_t v) { Set(style_, v); }

  void Assign(const TFont& other);
  // The face as Qt draws it: pixel size, no antialiasing, sans-serif when the name is unknown.
  QFont ToQFont() const;

  std::function<void()> OnChange;

 private:
  template <class T>
  void Set(T& field, const T& v) {
    if (field == v) return;
    field = v;
    if (OnChange) OnChange();
  }
  void CopyValues(const TFont& o) {
    charset_ = o.charset_;
    color_ = o.color_;
    height_ = o.height_;
    name_ = o.name_;
    style_ = o.style_;
  }

  int charset_ = 1;  // default character set
  TColor color_ = clWindowText;
  int height_ = -11;
  std::string name_ = "MS Sans Serif";
  std::uint8_t style_ = 0;
};

}  // namespace qb
