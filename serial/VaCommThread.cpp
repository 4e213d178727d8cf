#include "VaCommThread.h"

#include "AppEvents.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <mutex>
#include <thread>

// ---- The hand-off ---------------------------------------------------------------

struct TVaCommThread::Shared {
    enum class State { Idle, Posted, Running, Done };

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool stop = false;
    State state = State::Idle;
};

class TVaCommThread::HandOffEvent : public QEvent {
public:
    HandOffEvent(std::shared_ptr<Shared> shared, TVaCommThread* thread, Step step)
        : QEvent(EventType()), shared_(std::move(shared)), thread_(thread), step_(step)
    {
    }

    static QEvent::Type EventType()
    {
        static const int type = QEvent::registerEventType();
        return static_cast<QEvent::Type>(type);
    }

    // Main thread.
    void Run()
    {
        {
            std::lock_guard lock(shared_->mutex);
            // Stopped: the thread may be gone; it no longer waits for us.
            if (shared_->stop || shared_->state != Shared::State::Posted)
                return;
            // From now on the thread waits for Done, even if a callback
            // requests the stop, so thread_ stays valid.
            shared_->state = Shared::State::Running;
        }
        thread_->RunStep(step_);
        std::lock_guard lock(shared_->mutex);
        shared_->state = Shared::State::Done;
        shared_->changed.notify_all();
    }

private:
    std::shared_ptr<Shared> shared_;
    TVaCommThread* thread_;
    Step step_;
};

namespace {

// Held by the event thread while it creates and posts a hand-off event, and
// taken by the main thread before it looks at one. Qt's own queue carries
// the event safely; this makes that order visible to ThreadSanitizer too,
// which cannot see into an uninstrumented Qt.
std::mutex& PostMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Receives the hand-off events on the main thread. One for the program,
// never destroyed: a late event may still be queued for it at any time.
class HandOffReceiver : public QObject {
public:
    using Runner = void (*)(QEvent*);
    explicit HandOffReceiver(QEvent::Type type, Runner runner) : type_(type), runner_(runner) {}

    bool event(QEvent* event) override
    {
        {
            std::lock_guard lock(PostMutex());
        }
        if (event->type() != type_)
            return QObject::event(event);
        runner_(event);
        return true;
    }

private:
    QEvent::Type type_;
    Runner runner_;
};

int PlatformPriority(TThreadPriority priority)
{
    static constexpr int priorities[] = {
        win::THREAD_PRIORITY_IDLE,   win::THREAD_PRIORITY_LOWEST,       win::THREAD_PRIORITY_BELOW_NORMAL,
        win::THREAD_PRIORITY_NORMAL, win::THREAD_PRIORITY_ABOVE_NORMAL, win::THREAD_PRIORITY_HIGHEST,
        win::THREAD_PRIORITY_TIME_CRITICAL,
    };
    return priorities[priority];
}

} // namespace

// Created by the first port opened, on the main thread.
static QObject* HandOffTarget(QEvent::Type type, HandOffReceiver::Runner runner)
{
    static QObject* receiver = [&] {
        auto* object = new HandOffReceiver(type, runner);
        if (QCoreApplication* app = QCoreApplication::instance())
            object->moveToThread(app->thread());
        return object;
    }();
    return receiver;
}

// ---- The thread -------------------------------------------------------------------

TVaCommThread::TVaCommThread(win::HANDLE device, TThreadPriority priority)
    : shared_(std::make_shared<Shared>()), device_(device), platformPriority_(PlatformPriority(priority))
{
    // The receiver must exist before the thread can post to it.
    HandOffTarget(HandOffEvent::EventType(), [](QEvent* event) { static_cast<HandOffEvent*>(event)->Run(); });
    std::thread([this] { Execute(); }).detach();
}

TVaCommThread::~TVaCommThread() = default;

void TVaCommThread::Start()
{
    std::lock_guard lock(shared_->mutex);
    shared_->started = true;
    shared_->changed.notify_all();
}

void TVaCommThread::RequestStop()
{
    if (stopRequested_)
        return;
    stopRequested_ = true;
    RxCharHandler = nullptr;
    EventsHandler = nullptr;
    FailureHandler = nullptr;
    // Woken before the stop is marked: until then the thread cannot end, so
    // the event is still there to be signalled.
    wakeEvent_.Signal();
    std::shared_ptr<Shared> shared = shared_;
    std::lock_guard lock(shared->mutex);
    shared->stop = true;
    shared->changed.notify_all();
    // From here on the thread may free itself at any moment.
}

bool TVaCommThread::StopSeen()
{
    std::lock_guard lock(shared_->mutex);
    return shared_->stop;
}

void TVaCommThread::HandOff(Step step)
{
    std::unique_lock lock(shared_->mutex);
    if (shared_->stop)
        return;
    shared_->state = Shared::State::Posted;
    // Posted under the lock: RequestStop cannot slip in between, so nothing
    // is posted once the stop is marked (after which the program may end).
    {
        std::lock_guard post(PostMutex());
        QCoreApplication::postEvent(HandOffTarget(HandOffEvent::EventType(), nullptr),
                                    new HandOffEvent(shared_, this, step));
    }
    shared_->changed.wait(lock, [this] {
        return shared_->state == Shared::State::Done ||
               (shared_->stop && shared_->state != Shared::State::Running);
    });
    shared_->state = Shared::State::Idle;
}

void TVaCommThread::RunStep(Step step) noexcept
{
    if (step == Step::Dispatch) {
        DispatchEvents();
        return;
    }
    try {
        TEventsHandler handler = FailureHandler;
        if (handler)
            handler(this, failure_);
    } catch (...) {
        rtl::HandleException(this);
    }
}

void TVaCommThread::DispatchEvents()
{
    try {
        if (reportedEvents_ & win::EV_RXCHAR) {
            // A copy: the handler may close the port, which unbinds it.
            rtl::TNotifyEvent rxChar = RxCharHandler;
            if (rxChar)
                rxChar(this);
            reportedEvents_ &= ~win::EV_RXCHAR;
        }
        if (reportedEvents_ != 0) {
            TEventsHandler events = EventsHandler;
            if (events)
                events(this, reportedEvents_);
        }
    } catch (...) {
        rtl::HandleException(this);
    }
}

void TVaCommThread::WaitForStop()
{
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [this] { return shared_->stop; });
}

void TVaCommThread::Execute()
{
    {
        std::unique_lock lock(shared_->mutex);
        shared_->changed.wait(lock, [this] { return shared_->started || shared_->stop; });
    }
    // A priority above normal may be beyond the program's rights; the
    // thread then runs at normal priority.
    win::SetCurrentThreadPriority(platformPriority_);

    win::OVERLAPPED overlapped{};
    overlapped.hEvent = wakeEvent_.Handle();
    bool pending = false;
    while (!StopSeen()) {
        if (!pending) {
            reportedEvents_ = 0;
            if (win::WaitCommEvent(device_, &reportedEvents_, &overlapped)) {
                HandOff(Step::Dispatch);
                wakeEvent_.Unsignal();
            } else if (win::GetLastError() == win::ERROR_IO_PENDING) {
                pending = true;
            } else {
                // The device refuses to wait: it has gone. Trying again at
                // once would spin for ever; report once and wait for the
                // port object to close the port.
                failure_ = win::GetLastError();
                HandOff(Step::Failure);
                WaitForStop();
                break;
            }
        }
        if (pending) {
            TVaHandleObject::WaitOutcome outcome = wakeEvent_.WaitForSignal(win::INFINITE);
            if (outcome == TVaHandleObject::WaitOutcome::Signaled) {
                HandOff(Step::Dispatch);
                wakeEvent_.Unsignal();
                pending = false;
            } else {
                failure_ = wakeEvent_.LastError();
                HandOff(Step::Failure);
                WaitForStop();
                break;
            }
        }
    }
    // The device must not complete a wait into this object once it is
    // gone. A wait is still outstanding when the wake-up was the stop
    // request's and the device is not closed yet; CancelIo ends it (and,
    // should the handle be closing on the main thread right now, returns
    // only once nothing completes into it any more).
    win::CancelIo(device_, &overlapped);
    delete this;
}
