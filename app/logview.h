// The debug log's box: a read-only view of a LineRing that paints only the lines in sight, so a
// log at its cap costs its text and an index, not a laid-out document. The user scrolls, selects
// whole lines with the mouse (Shift extends, Ctrl+A takes all), copies them (Ctrl+C or the
// context menu) and clears the log (the context menu, or Delete with everything selected).
// While the newest line is in sight the view follows new lines; scrolled up, it stays on the
// lines the user is reading. One thread: the user-interface thread.
#pragma once

#include <QAbstractScrollArea>
#include <QPointF>
#include <QRawFont>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/linering.h"

class QPainter;

namespace qb {

class TLogView : public QAbstractScrollArea {
 public:
  explicit TLogView(QWidget* parent = nullptr);

  // Appends lines, each ended by '\n' (a last line without one counts as well), and repaints
  // once.
  void AppendLines(std::string_view lines);
  void Clear();

  void SetMaxLines(std::size_t max_lines) { lines_.SetMaxLines(max_lines); }
  std::size_t MaxLines() const { return lines_.MaxLines(); }
  std::size_t LineCount() const { return lines_.Size(); }
  // Line i of those held, 0 the oldest.
  QString Line(std::size_t i) const;

  void SelectAll();
  // The selected lines, joined by line breaks; empty when nothing is selected.
  QString SelectedText() const;
  // Puts the selected text on the clipboard (nothing selected: the clipboard is left alone).
  void Copy() const;

  // The oldest line in sight, as an index into the lines held.
  std::size_t TopLine() const;
  // Lines that fit the viewport whole (at least 1).
  int VisibleLines() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  static constexpr int kMargin = 4;    // around the text, as the text boxes beside it have
  static constexpr int kTabStop = 80;  // pixels between tab stops, the text boxes' default

  void UpdateScrollBars(bool follow);
  // The top line when the newest is the last in sight.
  int LastTop() const;
  void ScrollTo(int top);
  // The vertical bar shows the view exactly (while lines come in it may lag by less than a
  // pixel of its handle).
  void SyncBar();
  // The line under viewport height y, as a line number (LineRing::First() based); clamped to
  // the lines held.
  std::uint64_t LineAt(int y) const;
  // Draws a line that needs no shaping from the font's glyphs, its top-left at x, y; false,
  // drawing nothing, for one that does. width is the line's.
  bool DrawPlain(QPainter& painter, const QString& text, int x, int y, int& width);
  // How the full layout draws a character the font lacks: a glyph of another font.
  struct Fallback {
    QRawFont font;  // invalid: nothing is drawn, only the advance taken
    quint32 glyph = 0;
    qreal advance = 0;
  };
  const Fallback& FallbackFor(QChar c);
  bool HasSelection() const;
  bool AllSelected() const;
  int LineHeight() const;

  LineRing lines_;
  // Selection from anchor to cursor, both ends included, as line numbers so that it stays on
  // its lines while older ones drop out; none while anchor_ is kNone.
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::uint64_t anchor_ = kNone;
  std::uint64_t cursor_ = kNone;
  int widest_ = 0;               // the widest line painted yet, for the horizontal scroll bar
  int top_ = 0;                  // the line at the top of the view, an index into the lines
  bool syncing_ = false;         // the bar is being set to the view, not moved by the user
  QRawFont raw_;                 // the font's glyphs, for DrawPlain
  std::vector<quint32> glyphs_;  // room kept between paints
  std::vector<QPointF> advances_;
  std::vector<QPointF> positions_;
  std::unordered_map<char16_t, Fallback> fallbacks_;
};

}  // namespace qb
