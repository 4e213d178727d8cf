#pragma once
// ctest runs the test binaries side by side: with the loopback plug's lock
// in the shared default folder, one binary's open plug would make another's
// tests fail as "busy". So each process locks in a folder of its own.

#include "Loopback.h"

#include <cstdlib>
#include <string>

#include <unistd.h>

namespace testsupport {

inline void UseOwnLoopbackLock()
{
    static std::string folder;
    if (!folder.empty())
        return;
    char name[] = "/tmp/tarrowin-loopback-test-XXXXXX";
    folder = mkdtemp(name) ? name : "/tmp";
    loopback::SetLockDirectory(folder);
    if (folder != "/tmp")
        std::atexit([] {
            unlink((folder + "/tarrowin-loopback.lock").c_str());
            rmdir(folder.c_str());
        });
}

} // namespace testsupport
