#pragma once
// Every test process holds its own loopback plug: ctest runs the test
// binaries side by side, and with the lock in the shared default folder one
// binary's open plug would make another's tests fail as "busy".

#include "Loopback.h"

#include <cstdlib>
#include <string>

#include <unistd.h>

namespace testsupport {

// Points the plug's lock at a private folder (made once per process and
// removed at exit); that folder.
inline const std::string& UseOwnLoopbackLock()
{
    static const std::string directory = [] {
        char name[] = "/tmp/tarrowin-loopback-test-XXXXXX";
        const char* made = mkdtemp(name);
        std::string path = made ? made : "/tmp";
        loopback::SetLockDirectory(path);
        if (made) {
            static std::string folder = path;
            std::atexit([] {
                unlink((folder + "/tarrowin-loopback.lock").c_str());
                rmdir(folder.c_str());
            });
        }
        return path;
    }();
    return directory;
}

} // namespace testsupport
