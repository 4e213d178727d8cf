#pragma once
// The CPU time the test process has used: catches a thread spinning on a
// dead device.

#include <sys/resource.h>

namespace testsupport {

inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace testsupport
