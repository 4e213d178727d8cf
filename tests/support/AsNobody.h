#pragma once
// Runs part of a test as the unprivileged user "nobody" in a child process:
// the tests run as root, who may do what an ordinary user is refused.

#include "ChildProcess.h"
#include "EventLoopWait.h"

#include <pwd.h>

#include <functional>

namespace testsupport {

inline uid_t NobodyUid()
{
    const passwd* Nobody = getpwnam("nobody");
    return Nobody ? Nobody->pw_uid : static_cast<uid_t>(-1);
}

// The exit code of Body, run as nobody in a forked child while this process
// keeps its event loop going; -1 when it did not end normally within the
// safety net (the child is killed then).
inline int ExitCodeAsNobody(const std::function<int()>& Body)
{
    ChildProcess Child;
    ChildProcess::Options O;
    O.asUser = NobodyUid();
    O.body = Body;
    std::string Error;
    if (!Child.Start(O, Error) || !PumpUntil([&] {
            Child.Drain();
            return !Child.Running();
        }))
        return -1;
    return Child.ExitCode();
}

} // namespace testsupport
