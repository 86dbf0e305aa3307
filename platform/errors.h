// Errors and how they are reported at handler boundaries.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace qb {

// The base error class: an exception object with a message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// The silent abort: ends the current handler without any message.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

[[noreturn]] void Abort();

// The text the error box shows: "." appended when the last character sorts above ".".
std::string ErrorBoxText(const std::string& message);

// The seam between error reporting and what the user sees. Open shows a box (without waiting);
// Update replaces the text of the open box. The presenter calls ErrorBoxClosed when the user
// dismisses the box.
class ErrorPresenter {
 public:
  virtual ~ErrorPresenter() = default;
  virtual void Open(const std::string& title, const std::string& text) = 0;
  virtual void Update(const std::string& text) = 0;
};

// Where the box gets its title (the application's); "quillbox" until one is handed over.
void SetErrorBoxTitle(std::function<std::string()> title);

// Installs the presenter (nullptr restores the default: a message box, or standard error on
// a display nobody can see). The caller keeps ownership.
void SetErrorPresenter(ErrorPresenter* presenter);
void ErrorBoxClosed();

// Where the errors of the calling thread go instead of the box: a thread other than the
// user-interface thread hands them on (the engine posts them to the window, which shows them).
// An empty sink restores the box. The sink is called with the error's text.
using ErrorSink = std::function<void(const std::string& text)>;
void SetThreadErrorSink(ErrorSink sink);

// Reports an error that left a handler: the silent abort is swallowed; anything else is shown
// (or handed to the thread's sink). Only one box is open at a time; errors raised while it is
// open are counted into it.
void ShowException(const std::exception& e);
// Errors that were lost on the way to the box (a full hand-over queue): counted into the box.
void CountMoreErrors(int count);
void ShowCurrentException() noexcept;

// Runs f, reporting anything it throws. The one guard around every handler.
template <class F>
void Guarded(F&& f) noexcept {
  try {
    f();
  } catch (...) {
    ShowCurrentException();
  }
}

}  // namespace qb
