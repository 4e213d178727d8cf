#pragma once
// ctest runs the test binaries side by side: with the loopback plug's lock
// in the shared default folder, one binary's open plug would make another's
// tests fail as "busy".

#include "CommTesting.h"
#include "Loopback.h"

#include <QTemporaryDir>

namespace testsupport {

// Removed at exit, with the lock file in it.
inline void UseOwnLoopbackLock()
{
    static QTemporaryDir folder;
    loopback::SetLockDirectory(folder.path().toStdString());
}

// The loopback plug under this process's own lock, at `rate` 8N1;
// INVALID_HANDLE_VALUE when it does not open or take the rate.
inline win::HANDLE OpenOwnPlug(win::DWORD rate)
{
    UseOwnLoopbackLock();
    win::HANDLE device = OpenPlain("loopback");
    if (device != win::INVALID_HANDLE_VALUE && !win::SetCommState(device, PlainDcb(rate))) {
        win::CloseHandle(device);
        return win::INVALID_HANDLE_VALUE;
    }
    return device;
}

} // namespace testsupport
