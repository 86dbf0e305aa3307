#include "platform/errors.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <cstdio>

namespace qb {

void Abort() {
  throw EAbort();
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

namespace {

// The default presenter: a message box that does not block the event loop, so the bridge goes
// on with the next message while the box is open. Where nobody can see a box (no display),
// the text goes to standard error instead.
class BoxPresenter : public ErrorPresenter {
 public:
  void Open(const std::string& title, const std::string& text) override {
    if (!Visible()) {
      std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
      std::fflush(stderr);
      ErrorBoxClosed();
      return;
    }
    auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(title),
                                QString::fromStdString(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, [] { ErrorBoxClosed(); });
    box_ = box;
    scheduled_ = false;
    box->show();
  }
  // A burst of errors renews the count at most once a frame: laying the box out again for
  // each one would hold up the messages behind it.
  void Update(const std::string& text) override {
    pending_ = text;
    if (!box_ || scheduled_) return;
    scheduled_ = true;
    QTimer::singleShot(16, box_.data(), [this] {
      scheduled_ = false;
      if (box_) box_->setText(QString::fromStdString(pending_));
    });
  }

 private:
  bool scheduled_ = false;
  std::string pending_;
  static bool Visible() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    const QString p = QGuiApplication::platformName();
    return p != "offscreen" && p != "minimal";
  }
  QPointer<QMessageBox> box_;
};

struct Reporter {
  BoxPresenter default_presenter;
  ErrorPresenter* presenter = nullptr;
  bool open = false;
  std::string text;
  int more = 0;
  std::function<std::string()> title;
  ErrorPresenter& Current() { return presenter ? *presenter : default_presenter; }
};

Reporter& Rep() {
  static Reporter r;
  return r;
}

thread_local ErrorSink t_sink;

}  // namespace

void SetThreadErrorSink(ErrorSink sink) {
  t_sink = std::move(sink);
}

void SetErrorBoxTitle(std::function<std::string()> title) {
  Rep().title = std::move(title);
}

void SetErrorPresenter(ErrorPresenter* presenter) {
  auto& r = Rep();
  r.presenter = presenter;
  r.open = false;
  r.more = 0;
}

void ErrorBoxClosed() {
  auto& r = Rep();
  r.open = false;
  r.more = 0;
}

void ShowException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  if (t_sink) {
    t_sink(e.what());
    return;
  }
  auto& r = Rep();
  if (r.open) {
    ++r.more;
    r.Current().Update(r.text + "\n(and " + std::to_string(r.more) + " more)");
    return;
  }
  r.open = true;
  r.more = 0;
  r.text = ErrorBoxText(e.what());
  r.Current().Open(r.title ? r.title() : std::string("quillbox"), r.text);
}

void CountMoreErrors(int count) {
  auto& r = Rep();
  if (count <= 0 || !r.open) return;
  r.more += count;
  r.Current().Update(r.text + "\n(and " + std::to_string(r.more) + " more)");
}

void ShowCurrentException() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    try {
      ShowException(e);
    } catch (...) {
      std::fprintf(stderr, "quillbox: error while reporting: %s\n", e.what());
    }
  } catch (...) {
    try {
      ShowException(Exception("Unknown error"));
    } catch (...) {
    }
  }
}

}  // namespace qb
