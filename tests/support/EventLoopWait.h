#pragma once
// Pumping Qt's event loop in tests until something has happened.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace testsupport {

// Pumps events until Done() holds; false if it still does not after
// LimitMs (a generous safety net against hangs, not a timing check).
inline bool PumpUntil(const std::function<bool()>& Done, int LimitMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!Done()) {
        if (t.elapsed() > LimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
    return true;
}

// Pumps events for a while so that anything already under way (queued
// messages, packets in flight on loopback) is delivered.
inline void PumpFor(int Ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < Ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
}

} // namespace testsupport
