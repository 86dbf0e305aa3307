#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "tests/common/testsupport.h"

using namespace qb;

TEST(ErrorBox, TextGetsFullStopWhenLastCharacterSortsAboveIt) {
  EXPECT_EQ(ErrorBoxText("Invalid device ID"), "Invalid device ID.");
  EXPECT_EQ(ErrorBoxText("UDP-Listen mit Port 0 nicht unterstützt!"),
            "UDP-Listen mit Port 0 nicht unterstützt!");
  EXPECT_EQ(ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(ErrorBoxText("Fehler für '%s'"), "Fehler für '%s'");  // ' is below .
  EXPECT_EQ(ErrorBoxText("code 10048)"), "code 10048)");
  EXPECT_EQ(ErrorBoxText("ends in ü"), "ends in ü.");
  EXPECT_EQ(ErrorBoxText("x/"), "x/.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(ErrorBox, HandlerErrorIsShownWithTitleAndSilentAbortIsNot) {
  qbtest::RecordingPresenter rec;
  HWND w = AllocateHWnd([](UINT m, WPARAM, LPARAM) -> LRESULT {
    if (m == WM_USER) throw Exception("Invalid device ID");
    Abort();
  });
  PostMessage(w, WM_USER + 1, 0, 0);  // silent abort
  PostMessage(w, WM_USER, 0, 0);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !rec.opened.empty(); }));
  ASSERT_EQ(rec.opened.size(), 1u);
  EXPECT_EQ(rec.opened[0], "Invalid device ID.");
  EXPECT_EQ(rec.titles[0], "quillbox");
  rec.Close();
  DeallocateHWnd(w);
}

TEST(ErrorBox, ErrorsWhileBoxIsOpenAreCountedIntoIt) {
  qbtest::RecordingPresenter rec;
  HWND w = AllocateHWnd([](UINT, WPARAM n, LPARAM) -> LRESULT {
    throw Exception("beat " + std::to_string(n) + " failed");
  });
  for (int i = 1; i <= 3; ++i) PostMessage(w, WM_USER, WPARAM(i), 0);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return rec.updates.size() == 2; }));
  ASSERT_EQ(rec.opened.size(), 1u);
  EXPECT_EQ(rec.opened[0], "beat 1 failed.");
  EXPECT_EQ(rec.updates[1], "beat 1 failed.\n(and 2 more)");
  rec.Close();
  // A new error after the box was closed opens a new box.
  PostMessage(w, WM_USER, 4, 0);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return rec.opened.size() == 2; }));
  EXPECT_EQ(rec.opened[1], "beat 4 failed.");
  rec.Close();
  DeallocateHWnd(w);
}

TEST(ErrorBox, ExceptionLeavingAQtEventHandlerIsReported) {
  qbtest::RecordingPresenter rec;
  QObject o;
  QMetaObject::invokeMethod(
      &o, [] { throw Exception("from a Qt handler"); }, Qt::QueuedConnection);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !rec.opened.empty(); }));
  EXPECT_EQ(rec.opened[0], "from a Qt handler.");
  rec.Close();
}
