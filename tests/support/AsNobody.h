#pragma once
// Runs part of a test as the unprivileged user "nobody" in a child process:
// the tests run as root, who may do what an ordinary user is refused.

#include "EventLoopWait.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testsupport {

inline uid_t NobodyUid()
{
    const passwd* Nobody = getpwnam("nobody");
    return Nobody ? Nobody->pw_uid : static_cast<uid_t>(-1);
}

// The exit code of Body, run as nobody in a forked child while this process
// keeps its event loop going; 10 when the child could not become nobody, -1
// when it did not end normally.
inline int ExitCodeAsNobody(const std::function<int()>& Body)
{
    const passwd* Nobody = getpwnam("nobody");
    if (!Nobody)
        return 10;
    const uid_t Uid = Nobody->pw_uid;
    const gid_t Gid = Nobody->pw_gid;
    const pid_t Child = fork();
    if (Child < 0)
        return -1;
    if (Child == 0) {
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setgid(Gid) != 0 || setuid(Uid) != 0)
            _exit(10);
        _exit(Body());
    }
    int Status = 0;
    if (!PumpUntil([&] { return waitpid(Child, &Status, WNOHANG) == Child; }))
        return -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

} // namespace testsupport
