#include "tests/common/testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "platform/messages.h"

namespace qbtest {

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > deadline.count()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds time) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < time.count())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

RecordingPresenter::RecordingPresenter() {
  qb::SetErrorPresenter(this);
}
RecordingPresenter::~RecordingPresenter() {
  qb::SetErrorPresenter(nullptr);
}

void RecordingPresenter::Open(const std::string& title, const std::string& text) {
  titles.push_back(title);
  opened.push_back(text);
}
void RecordingPresenter::Update(const std::string& text) {
  updates.push_back(text);
}
void RecordingPresenter::Close() {
  qb::ErrorBoxClosed();
}

}  // namespace qbtest
