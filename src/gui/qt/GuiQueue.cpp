#include "gui/qt/GuiQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <cstdlib>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/Console.h"

namespace vexanet::gui {
namespace {

// Carries tasks to the GUI thread: a locked list of tasks and a queued call, by name and without
// data, to RunPending. Everything a task needs travels in the list, under our own lock, never
// inside Qt's event: Qt's own hand-over between threads is invisible to the thread sanitizer.
// One object for the process, living on the application's thread until the process ends.
class GuiPoster : public QObject {
  Q_OBJECT

 public:
  static GuiPoster& Instance() {
    static GuiPoster* const poster = [] {
      auto made = std::make_unique<GuiPoster>();
      made->moveToThread(QCoreApplication::instance()->thread());
      return made.release();  // lives as long as the process
    }();
    return *poster;
  }

  void Post(std::function<void()> task) {
    bool post = false;
    {
      std::lock_guard lock(m_);
      tasks_.push_back(std::move(task));
      if (!posted_) post = posted_ = true;
    }
    if (post) QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
  }

  Q_INVOKABLE void RunPending() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lock(m_);
      tasks.swap(tasks_);
      posted_ = false;
    }
    for (auto& task : tasks) {
      // Exceptions must not unwind through Qt's event loop.
      try {
        task();
      } catch (const std::exception& e) {
        ConsoleLine(std::string("Window update failed: ") + e.what());
      } catch (...) {
        ConsoleLine("Window update failed");
      }
    }
  }

 private:
  std::mutex m_;
  std::deque<std::function<void()>> tasks_;
  bool posted_ = false;
};

}  // namespace

GuiQueue::GuiQueue(QObject* context)
    : ViewCallQueue(
          [context] { return QThread::currentThread() == context->thread(); },
          // The window and this queue are destroyed on the GUI thread, where the posted drain
          // runs too, so the guard tells reliably whether they are still there.
          [this, window = QPointer<QObject>(context)] {
            GuiPoster::Instance().Post([this, window] {
              if (window) Drain();
            });
            return true;
          }) {
  // The poster must exist before another thread needs it; the application is there by now.
  GuiPoster::Instance();
}

void RunOnGuiThreadAndWait(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) throw std::logic_error("The window needs a QApplication");
  if (QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  GuiPoster::Instance().Post([done, &fn] {
    try {
      fn();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  finished.get();
}

void AssertGuiThread(const QObject* object, const char* where) {
  if (QThread::currentThread() == object->thread()) return;
  ConsoleLine(std::string(where) + " called outside the GUI thread");
  std::abort();
}

}  // namespace vexanet::gui

#include "GuiQueue.moc"
