// The reasons behind failed opens and refused settings; see CommReasons.h.

#include "CommReasons.h"

#include "CommDevice.h"
#include "Loopback.h"
#include "NetworkConnection.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace commreasons {

namespace {

thread_local OpenFailure lastOpen;
thread_local OpenProblem noted = OpenProblem::None;
thread_local RefusedSetting lastRefusal;

std::string RealPath(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string result(real);
    free(real);
    return result;
}

// A process with a descriptor on `target` (a resolved path), found through
// /proc; processes of other users cannot be looked into and are not found.
void FindHolder(const std::string& target, OpenFailure& failure)
{
    DIR* proc = opendir("/proc");
    if (!proc)
        return;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds)
            continue;
        bool found = false;
        while (dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char link[PATH_MAX];
            const ssize_t n = readlink((fdDir + "/" + fd->d_name).c_str(), link, sizeof link - 1);
            if (n > 0 && std::string(link, size_t(n)) == target) {
                found = true;
                break;
            }
        }
        closedir(fds);
        if (found) {
            failure.holderPid = static_cast<int>(pid);
            std::ifstream(std::string("/proc/") + entry->d_name + "/comm") >> failure.holderName;
            break;
        }
    }
    closedir(proc);
}

void DescribePermission(const std::string& path, OpenFailure& failure)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (group* g = getgrgid(st.st_gid))
        failure.group = g->gr_name;
    failure.inGroup = getegid() == st.st_gid;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? size_t(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) == count)
        for (gid_t id : groups)
            failure.inGroup = failure.inGroup || id == st.st_gid;
}

} // namespace

OpenFailure LastOpenFailure()
{
    return lastOpen;
}

RefusedSetting LastRefusedSetting()
{
    return lastRefusal;
}

} // namespace commreasons

namespace win::detail {

using commreasons::OpenProblem;

void BeginOpenReason()
{
    commreasons::lastOpen = {};
    commreasons::noted = OpenProblem::None;
}

void NoteOpenProblem(OpenProblem problem)
{
    commreasons::noted = problem;
}

void EndOpenReason(const std::string& name, const std::string& path, DWORD error)
{
    commreasons::OpenFailure failure;
    failure.name = name;
    failure.path = path;
    failure.error = error;
    const bool network = IsNetworkPortPath(path);
    if (network) {
        std::string host, port;
        if (netport::SplitAddress(path, host, port))
            failure.path = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    }
    struct stat st;
    if (path.empty()) {
        failure.problem = OpenProblem::NoSuchPort;
    } else if (commreasons::noted != OpenProblem::None) {
        failure.problem = commreasons::noted;
    } else if (network) {
        switch (error) {
        case ERROR_FILE_NOT_FOUND: failure.problem = OpenProblem::BadAddress; break;
        case ERROR_PORT_SERVER: failure.problem = OpenProblem::NotComPortServer; break;
        case ECONNREFUSED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ECONNRESET: failure.problem = OpenProblem::ServerUnreachable; break;
        default: failure.problem = OpenProblem::Other; break;
        }
    } else if (error == ERROR_FILE_NOT_FOUND) {
        // Opened, but a placeholder without a UART; or not there at all.
        failure.problem = stat(path.c_str(), &st) == 0 ? OpenProblem::NoUart : OpenProblem::Missing;
    } else if (error == EACCES || error == EPERM) {
        failure.problem = OpenProblem::Permission;
        commreasons::DescribePermission(path, failure);
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        failure.problem = OpenProblem::Busy;
        commreasons::FindHolder(path == "loopback" ? commreasons::RealPath(loopback::LockFilePath())
                                                   : commreasons::RealPath(path),
                                failure);
    } else if (error == ENOTTY || error == EINVAL) {
        failure.problem = OpenProblem::NotSerial;
    } else {
        failure.problem = OpenProblem::Other;
    }
    if (error == ERROR_PORT_SERVER)
        failure.serverText = FormatMessage(ERROR_PORT_SERVER);
    commreasons::lastOpen = std::move(failure);
}

void BeginSettingReason()
{
    commreasons::lastRefusal = {};
}

void NoteRefusedSetting(commreasons::Setting setting, const DCB& asked, DWORD grantedRate,
                        const std::string& serverText)
{
    commreasons::lastRefusal = {setting, asked, grantedRate, serverText};
}

bool SettingReasonNoted()
{
    return commreasons::lastRefusal.setting != commreasons::Setting::None;
}

} // namespace win::detail
