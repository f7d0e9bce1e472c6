// GuiQueue: the Qt window's view-call queue (gui/ViewCallQueue.h) and the GUI thread's helpers.
//
// Widgets may only be touched on the GUI thread and Qt does not warn when they are not, so every
// call that touches the window goes through the queue. The queue is our own (a locked list
// drained by one posted call at a time) rather than one Qt event per call, so that a call made on
// the GUI thread can first run the calls queued before it, and so that a flood of calls from
// other threads replaces what waits instead of piling up.
#pragma once

#include <QObject>
#include <functional>

#include "gui/ViewCallQueue.h"

namespace vexanet::gui {

// The window's calls for the GUI thread: drains are posted to the application's thread, and a
// drain posted for a window that is gone by then does nothing.
class GuiQueue : public ViewCallQueue {
 public:
  // context: the window, an object of the GUI thread; the queue is one of its members.
  explicit GuiQueue(QObject* context);
};

// Runs fn on the application's GUI thread and waits until it has run: directly when already
// on the GUI thread (waiting for the GUI thread from there would deadlock), otherwise as a
// queued call that the GUI thread's event loop runs while the caller waits. Requires a
// QCoreApplication; exceptions thrown by fn reach the caller.
void RunOnGuiThreadAndWait(const std::function<void()>& fn);

// Aborts with a message when not called on the GUI thread of the given object (Qt itself does
// not check that widgets are touched only there).
void AssertGuiThread(const QObject* object, const char* where);

}  // namespace vexanet::gui
