#include "app/logview.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QRawFont>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <utility>

namespace qb {

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  horizontalScrollBar()->setSingleStep(20);
  // The user's scrolling moves the lines in sight; at the bottom the view follows the newest.
  QScrollBar* bar = verticalScrollBar();
  connect(bar, &QScrollBar::valueChanged, this, [this](int value) {
    if (syncing_) return;
    top_ = value >= verticalScrollBar()->maximum() ? LastTop() : value;
    viewport()->update();
  });
  bar->installEventFilter(this);
  UpdateScrollBars(true);
}

void TLogView::AppendLines(std::string_view lines) {
  if (lines.empty()) return;
  const bool follow = top_ >= LastTop();
  const std::uint64_t top = lines_.First() + static_cast<std::uint64_t>(top_);
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    lines_.Append(lines.substr(0, end));
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
  }
  if (!follow) {
    // The lines being read stay in sight, unless they dropped out of the log.
    const std::uint64_t first = lines_.First();
    top_ = static_cast<int>(top > first ? std::min<std::uint64_t>(top - first, INT32_MAX) : 0);
  }
  UpdateScrollBars(follow);
  // Scrolled up, the lines in sight stay as they are; the scroll bar repaints what moved.
  if (follow) viewport()->update();
}

void TLogView::Clear() {
  lines_.Clear();
  anchor_ = cursor_ = kNone;
  widest_ = 0;
  top_ = 0;
  UpdateScrollBars(true);
  viewport()->update();
}

int TLogView::LastTop() const {
  const int shown = VisibleLines();
  const std::size_t held = lines_.Size();
  return held > static_cast<std::size_t>(shown)
             ? static_cast<int>(std::min<std::size_t>(held - shown, INT32_MAX))
             : 0;
}

void TLogView::ScrollTo(int top) {
  top_ = std::clamp(top, 0, LastTop());
  SyncBar();
  viewport()->update();
}

void TLogView::SyncBar() {
  QScrollBar* v = verticalScrollBar();
  syncing_ = true;
  v->setRange(0, LastTop());
  v->setPageStep(VisibleLines());
  v->setSingleStep(1);
  v->setValue(top_);
  syncing_ = false;
}

// Where the handle of a vertical bar of this length sits and how long it is, for a range, a
// page and a value, as the style draws it.
static std::pair<int, int> Handle(const QScrollBar* bar, int max, int page, int value) {
  const int span = std::max(1, bar->height() - 2 * bar->width());  // between the arrows
  const int min_length = bar->style()->pixelMetric(QStyle::PM_ScrollBarSliderMin, nullptr, bar);
  const long long whole = static_cast<long long>(max) + page;
  const int length =
      std::clamp(whole > 0 ? static_cast<int>(page * static_cast<long long>(span) / whole) : span,
                 std::min(min_length, span), span);
  return {QStyle::sliderPositionFromValue(0, max, value, span - length), length};
}

// The user's input scrolls from where the view really is, whatever the bar last showed.
bool TLogView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == verticalScrollBar() &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::Wheel))
    SyncBar();
  return QAbstractScrollArea::eventFilter(watched, event);
}

void TLogView::wheelEvent(QWheelEvent* event) {
  SyncBar();
  QAbstractScrollArea::wheelEvent(event);
}

QString TLogView::Line(std::size_t i) const {
  const std::string_view line = lines_[i];
  return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

void TLogView::SelectAll() {
  if (lines_.Empty()) return;
  anchor_ = lines_.First();
  cursor_ = lines_.First() + lines_.Size() - 1;
  viewport()->update();
}

bool TLogView::HasSelection() const {
  return anchor_ != kNone && !lines_.Empty() && std::max(anchor_, cursor_) >= lines_.First();
}

bool TLogView::AllSelected() const {
  return HasSelection() && std::min(anchor_, cursor_) <= lines_.First() &&
         std::max(anchor_, cursor_) >= lines_.First() + lines_.Size() - 1;
}

QString TLogView::SelectedText() const {
  if (!HasSelection()) return {};
  const std::uint64_t first = lines_.First();
  const std::uint64_t lo = std::max(std::min(anchor_, cursor_), first);
  const std::uint64_t hi = std::min(std::max(anchor_, cursor_), first + lines_.Size() - 1);
  std::string text;
  for (std::uint64_t n = lo; n <= hi; ++n) {
    if (n != lo) text += '\n';
    text.append(lines_[static_cast<std::size_t>(n - first)]);
  }
  return QString::fromStdString(text);
}

void TLogView::Copy() const {
  if (HasSelection()) QApplication::clipboard()->setText(SelectedText());
}

std::size_t TLogView::TopLine() const {
  return static_cast<std::size_t>(top_);
}

int TLogView::LineHeight() const {
  return std::max(1, fontMetrics().lineSpacing());
}

int TLogView::VisibleLines() const {
  return std::max(1, (viewport()->height() - 2 * kMargin) / LineHeight());
}

void TLogView::UpdateScrollBars(bool follow) {
  QScrollBar* v = verticalScrollBar();
  const int shown = VisibleLines();
  const int last = LastTop();
  top_ = follow ? last : std::min(top_, last);
  // Lines coming in move the bar's range a little at every frame; it is repainted only when
  // its handle moves on screen (or the bar comes or goes), which a grown log may take many
  // frames to do.
  const bool same =
      v->pageStep() == shown && (v->maximum() > 0) == (last > 0) &&
      Handle(v, v->maximum(), v->pageStep(), v->value()) == Handle(v, last, shown, top_);
  if (!same) SyncBar();

  QScrollBar* h = horizontalScrollBar();
  const int width = viewport()->width();
  h->setRange(0, std::max(0, widest_ + 2 * kMargin - width));
  h->setPageStep(std::max(1, width));
}

std::uint64_t TLogView::LineAt(int y) const {
  const int h = LineHeight();
  const int row = y >= kMargin ? (y - kMargin) / h : -1 - (kMargin - y - 1) / h;
  const std::int64_t index = static_cast<std::int64_t>(TopLine()) + row;
  const std::int64_t last = static_cast<std::int64_t>(lines_.Size()) - 1;
  return lines_.First() + static_cast<std::uint64_t>(std::clamp<std::int64_t>(index, 0, last));
}

void TLogView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const int h = LineHeight();
  const int left = kMargin - horizontalScrollBar()->value();
  const int width = viewport()->width();
  const int bottom = viewport()->height();
  const std::uint64_t first = lines_.First();
  const bool selection = HasSelection();
  const std::uint64_t lo = selection ? std::min(anchor_, cursor_) : 0;
  const std::uint64_t hi = selection ? std::max(anchor_, cursor_) : 0;
  const QPalette& colours = palette();
  // One layout per line, shaped once: drawing the parts between tabs and measuring them apart
  // shaped every line several times.
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  option.setTabStopDistance(kTabStop);
  QTextLayout layout;
  layout.setFont(font());
  layout.setTextOption(option);
  if (!raw_.isValid()) raw_ = QRawFont::fromFont(font());
  int widest = widest_;
  int y = kMargin;
  for (std::size_t i = TopLine(); i < lines_.Size() && y < bottom; ++i, y += h) {
    const std::uint64_t n = first + i;
    const bool selected = selection && n >= lo && n <= hi;
    if (selected) painter.fillRect(0, y, width, h, colours.brush(QPalette::Highlight));
    painter.setPen(colours.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QString text = Line(i);
    int drawn = 0;
    if (DrawPlain(painter, text, left, y, drawn)) {
      widest = std::max(widest, drawn);
      continue;
    }
    layout.setText(text);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid()) continue;
    line.setPosition(QPointF(0, 0));
    line.draw(&painter, QPointF(left, y));
    widest = std::max(widest, static_cast<int>(std::ceil(line.naturalTextWidth())));
  }
  if (widest != widest_) {
    widest_ = widest;
    UpdateScrollBars(false);
  }
}

// A log line is laid out anew whenever it is painted, and at a thousand lines a second every
// line in sight is new at every frame. Latin text and control pictures need no shaping, so such a
// line is drawn from the font's glyphs directly, with the tab stops worked out here. A character
// the font lacks (the control pictures, C1 controls shown as Latin-1) is drawn as the full layout
// draws it, from the fallback font the layout found for it once. A line with anything else
// (another script, a right-to-left separator) goes through the full layout.
bool TLogView::DrawPlain(QPainter& painter, const QString& text, int x, int y, int& width) {
  const auto n = static_cast<std::size_t>(text.size());
  const QChar* chars = text.constData();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t c = chars[i].unicode();
    const bool plain = (c >= 0x20 && c < 0x250) || (c >= 0x2400 && c < 0x2440) || c == '\t';
    if (!plain) return false;
  }
  glyphs_.resize(n);
  advances_.resize(n);
  positions_.resize(n);
  int count = static_cast<int>(n);
  if (!raw_.glyphIndexesForChars(chars, count, glyphs_.data(), &count) ||
      count != static_cast<int>(n) ||
      !raw_.advancesForGlyphIndexes(glyphs_.data(), advances_.data(), count,
                                    QRawFont::KernedAdvances))
    return false;
  const qreal ascent = raw_.ascent();
  qreal at = 0;
  int drawn = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (chars[i] == '\t') {
      at = (std::floor(at / kTabStop) + 1) * kTabStop;
      continue;
    }
    if (glyphs_[i] == 0) {
      const Fallback& f = FallbackFor(chars[i]);
      if (f.font.isValid()) {
        const QPointF position(at, f.font.ascent());
        QGlyphRun one;
        one.setRawFont(f.font);
        one.setRawData(&f.glyph, &position, 1);
        painter.drawGlyphRun(QPointF(x, y), one);
      }
      at += std::round(f.advance);
      continue;
    }
    glyphs_[static_cast<std::size_t>(drawn)] = glyphs_[i];
    // On whole pixels, advances as hinted text has them: each glyph is rasterised once and
    // then taken from the cache.
    positions_[static_cast<std::size_t>(drawn)] = QPointF(at, ascent);
    at += std::round(advances_[i].x());
    ++drawn;
  }
  if (drawn > 0) {
    QGlyphRun run;
    run.setRawFont(raw_);
    run.setRawData(glyphs_.data(), positions_.data(), drawn);
    painter.drawGlyphRun(QPointF(x, y), run);
  }
  width = static_cast<int>(std::ceil(at));
  return true;
}

const TLogView::Fallback& TLogView::FallbackFor(QChar c) {
  auto it = fallbacks_.find(c.unicode());
  if (it != fallbacks_.end()) return it->second;
  Fallback f;
  QTextLayout layout(QString(c), font());
  layout.beginLayout();
  QTextLine line = layout.createLine();
  layout.endLayout();
  if (line.isValid()) {
    f.advance = line.naturalTextWidth();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (!runs.isEmpty() && !runs.front().glyphIndexes().isEmpty()) {
      f.font = runs.front().rawFont();
      f.glyph = runs.front().glyphIndexes().front();
    }
  }
  return fallbacks_.emplace(c.unicode(), f).first->second;
}

void TLogView::resizeEvent(QResizeEvent* event) {
  const bool follow = top_ >= LastTop();
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars(follow);
  SyncBar();
}

void TLogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || lines_.Empty()) return;
  const std::uint64_t n = LineAt(event->position().toPoint().y());
  if (!(event->modifiers() & Qt::ShiftModifier) || !HasSelection()) anchor_ = n;
  cursor_ = n;
  viewport()->update();
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || anchor_ == kNone || lines_.Empty()) return;
  const int y = event->position().toPoint().y();
  // Dragging past an edge scrolls the lines beyond it into sight.
  if (y < 0) ScrollTo(top_ - 1);
  if (y >= viewport()->height()) ScrollTo(top_ + 1);
  cursor_ = LineAt(std::clamp(y, 0, viewport()->height() - 1));
  viewport()->update();
}

void TLogView::mouseReleaseEvent(QMouseEvent* event) {
  // As in the other text boxes, a selection made with the mouse is offered for middle-click
  // pasting where the desktop has such a selection.
  QClipboard* clipboard = QApplication::clipboard();
  if (event->button() == Qt::LeftButton && HasSelection() && clipboard->supportsSelection())
    clipboard->setText(SelectedText(), QClipboard::Selection);
}

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    Copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    SelectAll();
  } else if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) &&
             AllSelected()) {
    Clear();
  } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
    ScrollTo(0);
  } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
    ScrollTo(LastTop());
  } else {
    SyncBar();  // the keys that page and step move the bar from where the view is
    QAbstractScrollArea::keyPressEvent(event);
  }
}

void TLogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy = menu.addAction(QStringLiteral("&Copy"), this, [this] { Copy(); });
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(HasSelection());
  QAction* all = menu.addAction(QStringLiteral("Select All"), this, [this] { SelectAll(); });
  all->setShortcut(QKeySequence::SelectAll);
  all->setEnabled(!lines_.Empty());
  menu.addSeparator();
  QAction* clear = menu.addAction(QStringLiteral("C&lear"), this, [this] { Clear(); });
  clear->setEnabled(!lines_.Empty());
  menu.exec(event->globalPos());
}

void TLogView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    raw_ = QRawFont();
    fallbacks_.clear();
    widest_ = 0;
    UpdateScrollBars(top_ >= LastTop());
    SyncBar();
    viewport()->update();
  }
}

}  // namespace qb
