#pragma once
// Pumping Qt's event loop in tests until something has happened.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace testsupport {

// False if `done` still does not hold after limitMs: a safety net against
// hangs, not a timing check.
inline bool PumpUntil(const std::function<bool()>& done, int limitMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
    return true;
}

// Lets what is already under way (queued messages, packets in flight on
// loopback) arrive.
inline void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

} // namespace testsupport
