// A tray icon whose 16x16 image is drawn from a short text.
#pragma once

#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "tray/cooltrayicon.h"
#include "tray/graphics.h"

namespace qb {

// Pixel offsets for the text. Setting a value to what it is does nothing; any change is told
// to OnChange. Copies carry the values, never the notification.
class TOffsetOptions : public TObject {
 public:
  TOffsetOptions() = default;
  TOffsetOptions(const TOffsetOptions& other) : TObject() { CopyValues(other); }
  TOffsetOptions& operator=(const TOffsetOptions& other) {
    CopyValues(other);
    return *this;
  }

  int OffsetX() const { return offset_x_; }
  void SetOffsetX(int v) { Set(offset_x_, v); }
  int OffsetY() const { return offset_y_; }
  void SetOffsetY(int v) { Set(offset_y_, v); }
  int LineDistance() const { return line_distance_; }
  void SetLineDistance(int v) { Set(line_distance_, v); }

  TNotifyEvent OnChange;

 private:
  void Set(int& field, int v) {
    if (field == v) return;
    field = v;
    if (OnChange) OnChange(this);
  }
  void CopyValues(const TOffsetOptions& o) {
    offset_x_ = o.offset_x_;
    offset_y_ = o.offset_y_;
    line_distance_ = o.line_distance_;
  }
  int offset_x_ = 0;
  int offset_y_ = 0;
  int line_distance_ = 0;
};

// The lines of a text: only carriage returns separate them; a line feed after one begins the
// next line, and a text ending in a carriage return has a last, empty line.
std::vector<std::string> SplitLines(const std::string& text);

class TTextTrayIcon : public TCoolTrayIcon {
 public:
  explicit TTextTrayIcon(TComponent* owner);
  ~TTextTrayIcon() override;

  // Drawing settings; every setter re-renders, even with an unchanged value.
  TIcon& BackgroundIcon() { return *background_icon_; }  // changing it directly does not render
  void SetBackgroundIcon(const QImage& image);
  const std::string& Text() const { return text_; }
  void SetText(std::string text);
  TFont& Font() { return *font_; }  // attribute changes re-render
  void SetFont(const TFont& font);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  bool Border() const { return border_; }
  void SetBorder(bool on);
  TColor BorderColor() const { return border_color_; }
  void SetBorderColor(TColor color);
  TOffsetOptions& Options() { return *options_; }  // value changes re-render
  void SetOptions(const TOffsetOptions& options);

  bool AllowsDefaultIcon() override { return false; }
  virtual bool AllowsDefaultBackgroundIcon() { return false; }
  virtual void RenderTextBitmap();

  void RebuildIcon();
  bool ComposeOverBackground(const QImage& textBitmap, TIcon& target, TColor color);

  const QImage& TextBitmap() const { return text_bitmap_; }
  TColor KeyColour() const { return key_colour_; }

 private:
  std::unique_ptr<TIcon> background_icon_;
  std::string text_;
  std::unique_ptr<TFont> font_;
  TColor color_ = clBtnFace;
  bool border_ = false;
  TColor border_color_ = clBlack;
  std::unique_ptr<TOffsetOptions> options_;
  QImage text_bitmap_;
  TColor key_colour_ = clNone;
};

}  // namespace qb
