// The debug log's box: what it paints, where it scrolls and what the user can copy out of it.
#include "app/logview.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <string>

namespace {

using qb::TLogView;

class LogViewTest : public testing::Test {
 protected:
  void SetUp() override {
    view_.resize(300, 200);
    view_.show();
  }
  int Row(int row) const { return 4 + row * view_.fontMetrics().lineSpacing() + 2; }
  // Whether anything but the background is painted in the band of one row of text.
  bool RowInked(int row) {
    const QImage image = view_.viewport()->grab().toImage();
    const QRgb base = view_.palette().color(QPalette::Base).rgb();
    const int h = view_.fontMetrics().lineSpacing();
    for (int y = 4 + row * h; y < 4 + (row + 1) * h && y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) != base) return true;
    return false;
  }
  void Mouse(QEvent::Type type, int y, Qt::MouseButtons buttons,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QPointF at(20, y);
    QMouseEvent event(type, at, view_.viewport()->mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      modifiers);
    QApplication::sendEvent(view_.viewport(), &event);
  }
  void Key(int key, Qt::KeyboardModifiers modifiers, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(&view_, &event);
  }
  QString Clipboard() const { return QApplication::clipboard()->text(); }

  TLogView view_;
};

std::string Lines(int from, int to) {
  std::string text;
  for (int n = from; n < to; ++n) text += "line " + std::to_string(n) + "\n";
  return text;
}

TEST_F(LogViewTest, ShowsItsLinesAndFollowsTheNewestOnlyWhileAtTheBottom) {
  view_.AppendLines("1:2:3,0\t/Traktor\u240A.\t1\nsecond\nthird\n");
  ASSERT_EQ(view_.LineCount(), 3u);
  EXPECT_EQ(view_.Line(0), QString::fromUtf8("1:2:3,0\t/Traktor\u240A.\t1"));
  EXPECT_EQ(view_.Line(2), QStringLiteral("third"));
  EXPECT_TRUE(RowInked(0));
  EXPECT_TRUE(RowInked(2));
  EXPECT_FALSE(RowInked(3));  // no line there

  view_.AppendLines(Lines(3, 500));
  ASSERT_GT(view_.VisibleLines(), 3);
  EXPECT_EQ(view_.TopLine() + view_.VisibleLines(), view_.LineCount());
  EXPECT_TRUE(RowInked(view_.VisibleLines() - 1));  // the newest line, in sight

  // Scrolled up, the user keeps reading the same lines, even as the oldest drop out.
  view_.SetMaxLines(500);
  view_.verticalScrollBar()->setValue(100);
  const QString reading = view_.Line(view_.TopLine());
  view_.AppendLines(Lines(500, 550));
  EXPECT_EQ(view_.LineCount(), 500u);
  EXPECT_EQ(view_.Line(view_.TopLine()), reading);

  // Back at the bottom, it follows again.
  view_.verticalScrollBar()->setValue(view_.verticalScrollBar()->maximum());
  view_.AppendLines(Lines(550, 560));
  EXPECT_EQ(view_.Line(view_.LineCount() - 1), QStringLiteral("line 559"));
  EXPECT_EQ(view_.TopLine() + view_.VisibleLines(), view_.LineCount());
}

// Lines coming in a few at a time move the scroll bar's range by less than a pixel of its
// handle, and the bar is left as it was; whatever the user then does starts from where the view
// really is.
TEST_F(LogViewTest, TheUsersScrollingStartsFromTheViewEvenWhileTheBarLags) {
  QScrollBar* bar = view_.verticalScrollBar();
  int bar_paints = 0;
  struct Counter : QObject {
    int* n;
    explicit Counter(int* count) : n(count) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*n;
      return false;
    }
  } counter(&bar_paints);
  view_.AppendLines(Lines(0, 20000));
  QApplication::processEvents();
  bar->installEventFilter(&counter);
  for (int n = 20000; n < 20100; n += 2) {
    view_.AppendLines(Lines(n, n + 2));
    QApplication::processEvents();
  }
  const int shown = view_.VisibleLines();
  EXPECT_EQ(view_.TopLine() + shown, view_.LineCount());  // the view follows all the same
  EXPECT_LT(bar_paints, 10);                              // fifty batches, a handful of paints

  Key(Qt::Key_PageUp, Qt::NoModifier);
  EXPECT_EQ(view_.TopLine() + 2 * shown, view_.LineCount());
  // Dragged back to the end of the bar, it follows again.
  bar->setValue(bar->maximum());
  view_.AppendLines(Lines(20100, 20101));
  EXPECT_EQ(view_.TopLine() + shown, view_.LineCount());
}

TEST_F(LogViewTest, CopyGivesTheExactTextOfTheSelectedLines) {
  const QString first = QString::fromUtf8("1:2:3,0\t/Traktor\u240A\u240D.\u2401\t0,5");
  const QString second = QStringLiteral("1:2:3,1\t/VirtualDJ/Phase.,i..\t-1");
  const QString third = QStringLiteral("1:2:3,2\t/Traktor.Deck0.Beat\t1");
  view_.AppendLines((first + "\n" + second + "\n" + third + "\n").toStdString());
  QApplication::clipboard()->setText(QStringLiteral("untouched"));
  Key(Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  EXPECT_EQ(Clipboard(), QStringLiteral("untouched"));  // nothing selected, nothing copied

  // A drag from the second line to the third.
  Mouse(QEvent::MouseButtonPress, Row(1), Qt::LeftButton);
  Mouse(QEvent::MouseMove, Row(2), Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, Row(2), Qt::NoButton);
  Key(Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  EXPECT_EQ(Clipboard(), second + "\n" + third);

  // A click takes one line; Shift extends from it.
  Mouse(QEvent::MouseButtonPress, Row(2), Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, Row(2), Qt::NoButton);
  EXPECT_EQ(view_.SelectedText(), third);
  Mouse(QEvent::MouseButtonPress, Row(0), Qt::LeftButton, Qt::ShiftModifier);
  Mouse(QEvent::MouseButtonRelease, Row(0), Qt::NoButton, Qt::ShiftModifier);
  EXPECT_EQ(view_.SelectedText(), first + "\n" + second + "\n" + third);

  // Below the last line is the last line.
  Mouse(QEvent::MouseButtonPress, Row(9), Qt::LeftButton);
  EXPECT_EQ(view_.SelectedText(), third);

  // Ctrl+A and Delete clear the log; what follows starts a fresh one.
  Key(Qt::Key_A, Qt::ControlModifier, QStringLiteral("a"));
  Key(Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  EXPECT_EQ(Clipboard(), first + "\n" + second + "\n" + third);
  Key(Qt::Key_Delete, Qt::NoModifier);
  EXPECT_EQ(view_.LineCount(), 0u);
  EXPECT_TRUE(view_.SelectedText().isEmpty());
  EXPECT_FALSE(RowInked(0));
  view_.AppendLines("after\n");
  EXPECT_EQ(view_.Line(0), QStringLiteral("after"));
}

TEST_F(LogViewTest, DeleteWithPartOfTheLogSelectedKeepsEveryLine) {
  view_.AppendLines(Lines(0, 5));
  Mouse(QEvent::MouseButtonPress, Row(1), Qt::LeftButton);
  Key(Qt::Key_Delete, Qt::NoModifier);
  EXPECT_EQ(view_.LineCount(), 5u);
}

}  // namespace
