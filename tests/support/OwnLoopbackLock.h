#pragma once
// ctest runs the test binaries side by side: with the loopback plug's lock
// in the shared default folder, one binary's open plug would make another's
// tests fail as "busy".

#include "Loopback.h"

#include <QTemporaryDir>

namespace testsupport {

// Removed at exit, with the lock file in it.
inline void UseOwnLoopbackLock()
{
    static QTemporaryDir folder;
    loopback::SetLockDirectory(folder.path().toStdString());
}

} // namespace testsupport
