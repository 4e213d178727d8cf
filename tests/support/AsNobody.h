#pragma once
// The tests run as root, who may do what an ordinary user is refused; such
// a check runs as "nobody".

#include <pwd.h>

namespace testsupport {

inline uid_t NobodyUid()
{
    const passwd* nobody = getpwnam("nobody");
    return nobody ? nobody->pw_uid : static_cast<uid_t>(-1);
}

} // namespace testsupport
