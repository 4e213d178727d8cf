#pragma once
// The tests run as root, who may do what an ordinary user is refused; such
// a check runs as "nobody".

#include "ChildProcess.h"
#include "EventLoopWait.h"

#include <pwd.h>

#include <functional>
#include <string>

namespace testsupport {

inline uid_t NobodyUid()
{
    const passwd* nobody = getpwnam("nobody");
    return nobody ? nobody->pw_uid : static_cast<uid_t>(-1);
}

// The exit code of `body` run as nobody, the event loop going meanwhile; -1
// when it did not end normally in time.
inline int ExitCodeAsNobody(const std::function<int()>& body)
{
    ChildProcess child;
    ChildProcess::Options o;
    o.asUser = NobodyUid();
    o.body = body;
    std::string error;
    if (!child.Start(o, error) || !PumpUntil([&] { return child.Drain(), !child.Running(); }))
        return -1;
    return child.ExitCode();
}

} // namespace testsupport
