#pragma once
// The event thread of an open port: it waits on the device for line events
// and hands each report to the main thread, where the port object turns the
// event word into its callbacks.
//
// The hand-off: the thread posts an event to a receiver object that lives
// on the main thread and waits until the main thread has run the step, or
// until it is told to stop. The step runs from the main thread's event
// loop, one at a time, also inside a modal dialog's nested loop. What the
// posted event and the thread share is a small state block of their own
// (shared ownership), so an event that is delivered after the thread has
// gone finds it marked stopped and does nothing:
// - posted, not yet run, stop requested: the thread leaves at once; the
//   late event runs nothing;
// - running (the main thread is inside DispatchEvents): the thread waits for
//   the end even when a callback requests the stop (ClosePort inside
//   OnRxChar), because the main thread is still using the thread object;
// - the event loop no longer running: the thread stays blocked until the
//   port object closes the port or is destroyed, which requests the stop.
// After RequestStop the main thread never touches the thread object again,
// and the thread neither posts nor calls anything of the port object; it
// cancels its device wait, so the device cannot complete into it, and frees
// itself.

#include "VaComm.h"

#include <functional>
#include <memory>

class TVaCommThread : public rtl::TObject {
public:
    using TEventsHandler = std::function<void(rtl::TObject* Sender, win::DWORD Events)>;

    // Creates the thread, not yet running, for `device` (not owned); the
    // object frees itself when the thread ends.
    TVaCommThread(win::HANDLE device, TThreadPriority priority);
    TVaCommThread(const TVaCommThread&) = delete;
    TVaCommThread& operator=(const TVaCommThread&) = delete;

    // Lets the thread run. Main thread, once.
    void Start();
    // Unbinds the handlers, wakes the thread and tells it to end. Main
    // thread; does not wait. The object must not be used afterwards.
    void RequestStop();

    // Runs on the main thread through the hand-off: the receive-character
    // handler first (when EV_RXCHAR is in the word), then the events handler
    // with the rest of the word; an exception goes to the application-wide
    // handling with this thread as Sender.
    void DispatchEvents();

    // The word of the report being dispatched (main thread, in a dispatch).
    win::DWORD ReportedEvents() const { return reportedEvents_; }

    rtl::TNotifyEvent RxCharHandler;
    TEventsHandler EventsHandler;
    // Called once, on the main thread, when the device refuses to wait for
    // events any more (it has gone): with the platform's error code. The
    // thread then waits for the stop without trying again.
    TEventsHandler FailureHandler;

private:
    struct Shared;
    class HandOffEvent;
    enum class Step { Dispatch, Failure };

    ~TVaCommThread() override;
    void Execute();
    bool StopSeen();
    void HandOff(Step step);
    void RunStep(Step step) noexcept;
    void WaitForStop();

    std::shared_ptr<Shared> shared_;
    win::HANDLE device_;
    int platformPriority_;
    TVaSimpleEvent wakeEvent_;
    win::DWORD reportedEvents_ = 0;
    win::DWORD failure_ = 0;
    bool stopRequested_ = false; // main thread's own record
};
