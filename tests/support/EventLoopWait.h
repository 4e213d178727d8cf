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
    for (; !done(); QThread::usleep(200)) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Lets what is under way (queued messages, packets on loopback) arrive.
inline void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

} // namespace testsupport
