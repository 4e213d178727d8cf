#include "Registry.h"

#include "CodePage.h"
#include "RegFile.h"
#include "SerialDevices.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reg {
namespace {

constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;

std::mutex g_configMutex;
std::string g_pathOverride;
std::function<void(const std::string&)> g_noticeHandler;

// ---------------------------------------------------------------------------
// Small file helpers

std::string DirOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string BaseOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ErrnoText(const char* what, int e)
{
    return std::string(what) + ": " + rtl::SysErrorMessage(e);
}

// File names are bytes in the locale's encoding; messages are Windows-1252.
std::string PathForMessage(const std::string& path)
{
    return codepage::ToBytes(QFile::decodeName(QByteArray::fromStdString(path)));
}

// mkdir -p. New folders are private: the file may hold the pane texts.
bool MakeDirs(const std::string& dir, std::string& reason)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        reason = ErrnoText(dir.c_str(), ENOTDIR);
        return false;
    }
    std::string parent = DirOf(dir);
    if (parent != dir && !MakeDirs(parent, reason))
        return false;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = ErrnoText(dir.c_str(), errno);
        return false;
    }
    return true;
}

bool WriteAll(int fd, std::string_view data, std::string& reason)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reason = ErrnoText("write", errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The whole file, read straight into one buffer of the size the file has
// (a file that grows meanwhile is read to its end all the same): it may
// hold tens of megabytes of pane text.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    std::string_view View() const { return {data.get(), size}; }
};

bool ReadAll(int fd, size_t sizeHint, FileBytes& out, std::string& reason)
{
    size_t room = sizeHint + 1; // the extra byte tells a file that grew
    out.data.reset(new char[room]);
    out.size = 0;
    while (true) {
        if (out.size == room) {
            std::unique_ptr<char[]> bigger(new char[room * 2]);
            std::memcpy(bigger.get(), out.data.get(), out.size);
            out.data = std::move(bigger);
            room *= 2;
        }
        ssize_t n = ::read(fd, out.data.get() + out.size, room - out.size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reason = ErrnoText("read", errno);
            return false;
        }
        if (n == 0)
            return true;
        out.size += static_cast<size_t>(n);
    }
}

// The file a save replaces: a symbolic link (a managed dotfile) stays a
// link, and its target is replaced instead.
std::string SaveTarget(const std::string& path)
{
    struct stat lst;
    if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            free(real);
            return target;
        }
    }
    return path;
}

// A decimal number as printf writes it: digits only, no leading zero.
bool ParseDecimal(std::string_view text, unsigned long long limit, unsigned long long& value)
{
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

// The process that wrote a save's temporary file ".<base>.tmp-<pid>-<n>",
// or 0 when `name` is not such a file of `base`.
pid_t TempFileWriter(std::string_view name, const std::string& base)
{
    const std::string prefix = "." + base + ".tmp-";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    name.remove_prefix(prefix.size());
    size_t dash = name.find('-');
    unsigned long long pid = 0, counter = 0;
    if (dash == std::string_view::npos || !ParseDecimal(name.substr(0, dash), INT_MAX, pid) || pid == 0 ||
        !ParseDecimal(name.substr(dash + 1), UINT_MAX, counter))
        return 0;
    return static_cast<pid_t>(pid);
}

// Removes what saves killed halfway left behind: temporary files of the
// settings file whose writing process no longer exists. A process that
// exists, even one we may not signal, may still be writing its file, so
// that file stays. Callers hold the folder lock, so no copy of the program
// is between creating and renaming a temporary file of its own.
void RemoveStaleTempFiles(const std::string& path)
{
    const std::string target = SaveTarget(path);
    const std::string base = BaseOf(target);
    DIR* dir = opendir(DirOf(target).c_str());
    if (!dir)
        return;
    while (const struct dirent* entry = readdir(dir)) {
        pid_t pid = TempFileWriter(entry->d_name, base);
        if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

// Holds flock(LOCK_EX) on a folder. Writers of the registry file take it
// around read-modify-write so two copies of the program do not lose each
// other's values; readers need no lock because the file is only ever
// replaced by rename.
class FolderLock {
public:
    // With `wait` false the lock is only taken when nobody holds it.
    explicit FolderLock(const std::string& dir, bool wait = true)
    {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
            if (errno != EINTR) {
                error_ = errno;
                break;
            }
        }
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

// ---------------------------------------------------------------------------
// The in-memory copy of the registry file

// Identity of the file content as last read or written. Holding the file
// open (Store::heldFd) keeps its inode number from being reused by a later
// file, so a replaced file is always seen as changed, even when size and
// the coarse time stamps happen to agree.
struct Stamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    long long ctimeNs = 0;
    bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const struct stat& st)
{
    Stamp s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    return s;
}

class Store {
public:
    ~Store() { CloseHeld(); }

    // Recursive: a batch (TRegistryBatch) holds it for its whole life, so
    // other threads wait and never see or commit its changes halfway.
    std::recursive_mutex mu;
    file::Document doc;
    // Non-empty while the file on disk cannot be trusted (unreadable, or
    // broken and not movable aside): writes are refused so it is never
    // overwritten.
    std::string blockedReason;
    std::vector<std::string> notices; // delivered once the mutex is released

    // The batch of this thread, if one is open: its depth, the folder lock
    // taken at its first change, whether `doc` holds changes not yet in the
    // file, and the first value changed (named in the error of a failed
    // commit).
    int batchDepth = 0;
    std::unique_ptr<FolderLock> batchLock;
    bool batchDirty = false;
    std::string batchFirst;

    void Refresh(int lockedFolderFd);
    // Writes `doc` to the file. When that fails, the file is as it was and
    // `doc` is read from it again before its next use.
    bool Commit(std::string& reason);
    // `doc` holds changes that will not reach the file: read it again.
    void Forget() { loaded_ = false; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string sweptPath_; // the file whose stale temporary files were looked for
    bool loaded_ = false;
    Stamp stamp_;
    int heldFd_ = -1;

    void CloseHeld()
    {
        if (heldFd_ >= 0)
            ::close(heldFd_);
        heldFd_ = -1;
    }
    void InstallEmpty()
    {
        doc = file::Document();
        stamp_ = Stamp();
        CloseHeld();
        loaded_ = true;
        blockedReason.clear();
    }
    void Block(const std::string& reason, const Stamp& stamp, const std::string& notice)
    {
        doc = file::Document();
        stamp_ = stamp;
        CloseHeld();
        loaded_ = true;
        if (blockedReason != reason && !notice.empty())
            notices.push_back(notice);
        blockedReason = reason;
    }
    // Returns true when the file had been replaced before it could be moved.
    bool SetAside(const struct stat& brokenStat, const file::ParseError& error, int lockedFolderFd);
};

Store& TheStore()
{
    static Store store;
    return store;
}

void Store::Refresh(int lockedFolderFd)
{
    std::string want = FilePath();
    if (!loaded_ || want != path_) {
        CloseHeld();
        path_ = want;
        loaded_ = false;
        stamp_ = Stamp();
        blockedReason.clear();
        doc = file::Document();
    }
    if (sweptPath_ != path_) {
        // The first look at this file: saves of earlier runs that were
        // killed may have left temporary files. Only while no copy of the
        // program is saving; otherwise the next save of ours sees to them.
        sweptPath_ = path_;
        std::unique_ptr<FolderLock> ownLock;
        if (lockedFolderFd < 0)
            ownLock = std::make_unique<FolderLock>(DirOf(path_), false);
        if (lockedFolderFd >= 0 || (ownLock->fd() >= 0 && ownLock->error() == 0))
            RemoveStaleTempFiles(SaveTarget(path_));
    }
    const std::string shown = PathForMessage(path_);
    // A few rounds cover a file replaced by another program while it was
    // being looked at.
    for (int round = 0; round < 4; ++round) {
        struct stat st;
        if (stat(path_.c_str(), &st) != 0) {
            int e = errno;
            // ENOTDIR: the folder is not a folder, so there is no file either.
            if (e == ENOENT || e == ENOTDIR) {
                if (!(loaded_ && !stamp_.exists && blockedReason.empty()))
                    InstallEmpty();
                return;
            }
            std::string reason = ErrnoText("stat", e);
            Block(reason, Stamp(),
                  "Die Einstellungsdatei '" + shown + "' kann nicht gelesen werden (" + reason +
                      "). Die Einstellungen werden nicht gespeichert.");
            return;
        }
        if (loaded_ && stamp_ == StampOf(st))
            return;

        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                continue;
            std::string reason = ErrnoText("open", errno);
            Block(reason, StampOf(st),
                  "Die Einstellungsdatei '" + shown + "' kann nicht gelesen werden (" + reason +
                      "). Die Einstellungen werden nicht gespeichert.");
            return;
        }
        FileBytes content;
        std::string reason;
        bool ok = fstat(fd, &st) == 0;
        if (!ok)
            reason = ErrnoText("fstat", errno);
        else if (!S_ISREG(st.st_mode)) {
            ok = false;
            reason = "keine gew\xf6hnliche Datei";
        } else {
            ok = ReadAll(fd, static_cast<size_t>(st.st_size), content, reason);
        }
        if (!ok) {
            ::close(fd);
            Block(reason, StampOf(st),
                  "Die Einstellungsdatei '" + shown + "' kann nicht gelesen werden (" + reason +
                      "). Die Einstellungen werden nicht gespeichert.");
            return;
        }

        file::Document parsed;
        file::ParseError error;
        // An empty file holds nothing that could be lost.
        if (content.size == 0 || file::Parse(content.View(), parsed, error)) {
            CloseHeld();
            doc = std::move(parsed);
            stamp_ = StampOf(st);
            heldFd_ = fd;
            loaded_ = true;
            blockedReason.clear();
            return;
        }
        ::close(fd);
        if (!SetAside(st, error, lockedFolderFd))
            return;
    }
}

bool Store::SetAside(const struct stat& brokenStat, const file::ParseError& error, int lockedFolderFd)
{
    std::unique_ptr<FolderLock> ownLock;
    int folderFd = lockedFolderFd;
    if (folderFd < 0) {
        ownLock = std::make_unique<FolderLock>(DirOf(path_));
        folderFd = ownLock->fd();
    }
    // Move only the file that was read: another copy of the program may
    // have written a good one in the meantime.
    struct stat now;
    if (stat(path_.c_str(), &now) != 0 || now.st_dev != brokenStat.st_dev || now.st_ino != brokenStat.st_ino)
        return true;

    char stampText[32];
    time_t t = time(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    strftime(stampText, sizeof stampText, "%Y%m%d-%H%M%S", &local);

    std::string aside;
    int rc = -1, e = 0;
    for (int n = 1; n < 1000; ++n) {
        aside = path_ + ".broken-" + stampText + (n > 1 ? "-" + std::to_string(n) : std::string());
        rc = renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        e = rc == 0 ? 0 : errno;
        if (rc != 0 && (e == EINVAL || e == ENOSYS)) {
            // File systems without RENAME_NOREPLACE: the folder lock keeps
            // other copies of the program from racing the check.
            struct stat dummy;
            if (lstat(aside.c_str(), &dummy) == 0) {
                e = EEXIST;
            } else {
                rc = rename(path_.c_str(), aside.c_str());
                e = rc == 0 ? 0 : errno;
            }
        }
        if (rc == 0 || e != EEXIST)
            break;
    }

    const std::string where = rtl::Format(" (Zeile %d: ", error.line) + error.reason + ")";
    if (rc == 0) {
        if (folderFd >= 0)
            fsync(folderFd);
        InstallEmpty();
        notices.push_back("Die Einstellungsdatei '" + PathForMessage(path_) + "' war besch\xe4" "digt" + where +
                          " und wurde als '" + PathForMessage(aside) +
                          "' beiseitegelegt. Das Programm beginnt mit leeren Einstellungen.");
        return false;
    }
    std::string reason = ErrnoText("rename", e);
    Block("broken: " + reason, StampOf(brokenStat),
          "Die Einstellungsdatei '" + PathForMessage(path_) + "' ist besch\xe4" "digt" + where +
              " und konnte nicht beiseitegelegt werden (" + reason +
              "). Die Einstellungen werden nicht gespeichert, bis die Datei repariert oder entfernt ist.");
    return false;
}

bool Store::Commit(std::string& reason)
{
    const std::string target = SaveTarget(path_);
    // Leftovers of killed saves go first: on a full disk their room may be
    // what this save needs.
    RemoveStaleTempFiles(target);
    const std::string dir = DirOf(target);
    static std::atomic<unsigned> counter{0};
    // A name of our own process id may be left by an earlier process that
    // had the same id and was killed while saving: the stale-file sweep
    // keeps it (the id is alive: ours), so the next number is taken.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 64; ++attempt) {
        temp = dir + "/." + BaseOf(target) + rtl::Format(".tmp-%d-%u", static_cast<int>(getpid()), counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    if (fd < 0) {
        reason = ErrnoText(temp.c_str(), errno);
        Forget();
        return false;
    }
    auto fail = [&](const std::string& why) {
        reason = why;
        ::close(fd);
        unlink(temp.c_str());
        Forget();
        return false;
    };
    struct stat old;
    if (stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);
    // Written piece by piece as it is serialized: the document may hold
    // both pane texts, and is never held a second time as one string.
    if (!file::SerializeTo(doc, [&](std::string_view piece) { return WriteAll(fd, piece, reason); }))
        return fail(reason);
    if (fsync(fd) != 0)
        return fail(ErrnoText("fsync", errno));
    if (rename(temp.c_str(), target.c_str()) != 0)
        return fail(ErrnoText("rename", errno));
    // From here on the new content is in place. Syncing the folder makes
    // the rename itself durable; if that fails there is nothing left to undo.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        ::close(dirFd);
    }
    struct stat st;
    if (fstat(fd, &st) == 0) {
        stamp_ = StampOf(st);
    } else {
        stamp_ = Stamp();
        loaded_ = false; // forces a fresh read next time
    }
    CloseHeld();
    heldFd_ = fd;
    return true;
}

void DeliverNotices(std::vector<std::string> notices)
{
    if (notices.empty())
        return;
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> lock(g_configMutex);
        handler = g_noticeHandler;
    }
    for (const auto& message : notices) {
        if (handler) {
            handler(message);
        } else {
            QByteArray local = codepage::ToText(message).toLocal8Bit();
            std::fprintf(stderr, "Tarrowin: %s\n", local.constData());
        }
    }
}

// ---------------------------------------------------------------------------
// TRegistry helpers

const char* RootName(HKEY root)
{
    return root == HKEY::HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

bool IsViewKey(const std::string& fullPath)
{
    return file::SameName(fullPath, file::kSerialCommKey);
}

// "HKEY_LOCAL_MACHINE\hardware" and "...\devicemap" exist because the view
// key exists below them.
bool IsAboveViewKey(const std::string& fullPath)
{
    std::string view = file::Fold(file::kSerialCommKey);
    std::string mine = file::Fold(fullPath) + "\\";
    return view.size() > mine.size() && view.compare(0, mine.size(), mine) == 0;
}

std::string CutAtZero(const std::string& s)
{
    size_t zero = s.find('\0');
    return zero == std::string::npos ? s : s.substr(0, zero);
}

// The serial device the view key lists under `name`, if any.
bool FindDevice(const std::string& name, std::string* portName)
{
    for (const auto& entry : serialdevices::List()) {
        if (file::SameName(entry.devicePath, name)) {
            if (portName)
                *portName = entry.portName;
            return true;
        }
    }
    return false;
}

ERegistryException WrongType(const std::string& name)
{
    return ERegistryException("Ung\xfcltiger Datentyp f\xfcr '" + name + "'");
}

ERegistryException CannotGet(const std::string& name)
{
    return ERegistryException("Konnte Daten f\xfcr '" + name + "' nicht holen");
}

ERegistryException CannotSet(const std::string& name)
{
    return ERegistryException("Konnte Daten f\xfcr '" + name + "' nicht setzen");
}

} // namespace

// ---------------------------------------------------------------------------

void SetFilePath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    g_pathOverride = path;
}

void ReleaseCache()
{
    Store& s = TheStore();
    std::lock_guard<std::recursive_mutex> lock(s.mu);
    if (s.batchDepth > 0)
        return; // changes not yet written must stay
    s.doc = file::Document();
    s.Forget();
}

std::string FilePath()
{
    {
        std::lock_guard<std::mutex> lock(g_configMutex);
        if (!g_pathOverride.empty())
            return g_pathOverride;
    }
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // Relative values are to be ignored, as the XDG rules say.
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            struct passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/Brenlow/Tarrowin.reg";
}

void SetNoticeHandler(std::function<void(const std::string& message)> handler)
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    g_noticeHandler = std::move(handler);
}

namespace store {

void Read(const std::function<void(const file::Document&)>& fn)
{
    Store& s = TheStore();
    std::vector<std::string> notices;
    {
        std::lock_guard<std::recursive_mutex> lock(s.mu);
        // Changes of an open batch are what the program reads until it
        // commits them.
        if (!s.batchDirty)
            s.Refresh(s.batchLock ? s.batchLock->fd() : -1);
        notices.swap(s.notices);
        fn(s.doc);
    }
    DeliverNotices(std::move(notices));
}

namespace {

// Update, with the name of the value being changed for the error of a
// batch whose commit fails.
bool Change(const std::function<bool(file::Document&)>& fn, std::string* reasonOut, const std::string& what)
{
    Store& s = TheStore();
    std::vector<std::string> notices;
    std::string reason;
    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(s.mu);
        const std::string path = FilePath();
        const std::string dir = DirOf(path);
        std::unique_ptr<FolderLock> ownLock;
        int folderFd = -1;
        if (s.batchLock) {
            folderFd = s.batchLock->fd();
        } else if (MakeDirs(dir, reason)) {
            ownLock = std::make_unique<FolderLock>(dir);
            if (ownLock->fd() < 0 || ownLock->error() != 0)
                reason = ErrnoText("flock", ownLock->error());
            else
                folderFd = ownLock->fd();
        }
        if (folderFd >= 0) {
            if (!s.batchDirty)
                s.Refresh(folderFd);
            if (!s.blockedReason.empty()) {
                reason = s.blockedReason;
            } else if (s.batchDepth > 0) {
                // The batch keeps the folder lock until it ends, so the
                // file it commits is the one its changes were made to.
                if (!s.batchLock)
                    s.batchLock = std::move(ownLock);
                if (fn(s.doc)) {
                    s.batchDirty = true;
                    if (s.batchFirst.empty())
                        s.batchFirst = what;
                }
                ok = true;
            } else {
                // The change is made in place rather than to a copy: the
                // document may hold both pane texts. Should the file refuse
                // it, Commit has the content read again from the file,
                // which is then as it was.
                ok = !fn(s.doc) || s.Commit(reason);
            }
        }
        notices.swap(s.notices);
    }
    DeliverNotices(std::move(notices));
    if (!ok && reasonOut)
        *reasonOut = reason;
    return ok;
}

} // namespace

bool Update(const std::function<bool(file::Document&)>& fn, std::string* reasonOut)
{
    return Change(fn, reasonOut, std::string());
}

} // namespace store

// ---------------------------------------------------------------------------

TRegistryBatch::TRegistryBatch()
{
    Store& s = TheStore();
    s.mu.lock();
    ++s.batchDepth;
}

TRegistryBatch::~TRegistryBatch()
{
    Store& s = TheStore();
    if (--s.batchDepth == 0) {
        // Changes never committed are dropped: the content is read from
        // the file again.
        if (s.batchDirty)
            s.Forget();
        s.batchDirty = false;
        s.batchFirst.clear();
        s.batchLock.reset();
    }
    s.mu.unlock();
}

void TRegistryBatch::Commit()
{
    Store& s = TheStore();
    std::vector<std::string> notices;
    std::string failed;
    bool ok = true;
    {
        std::lock_guard<std::recursive_mutex> lock(s.mu);
        if (s.batchDepth > 1 || !s.batchDirty)
            return; // the outermost batch writes
        std::string reason;
        ok = s.Commit(reason);
        failed = s.batchFirst;
        s.batchDirty = false;
        s.batchFirst.clear();
        notices.swap(s.notices);
    }
    DeliverNotices(std::move(notices));
    if (!ok)
        throw CannotSet(failed);
}

TRegistry::TRegistry(uint32_t access) : access_(access) {}

TRegistry::~TRegistry()
{
    CloseKey();
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate)
{
    CloseKey();
    std::string relative = key;
    while (!relative.empty() && relative.front() == '\\')
        relative.erase(0, 1);
    while (!relative.empty() && relative.back() == '\\')
        relative.pop_back();
    if (relative.find("\\\\") != std::string::npos)
        return false;
    for (char c : relative) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 32 || b == 127)
            return false; // would not fit on the file's key line
    }
    std::string full = RootName(root_);
    if (!relative.empty())
        full += "\\" + relative;

    if (IsViewKey(full) || IsAboveViewKey(full)) {
        currentKey_ = full;
        return true;
    }
    bool exists = false;
    store::Read([&](const file::Document& doc) { exists = doc.KeyExists(full); });
    if (!exists) {
        if (!canCreate || !(access_ & KEY_CREATE_SUB_KEY))
            return false;
        // The new key is written at once, so it exists from now on even if
        // no value is ever stored in it.
        bool created = store::Update([&](file::Document& doc) {
            if (doc.KeyExists(full))
                return false;
            doc.EnsureKey(full);
            return true;
        });
        if (!created)
            return false;
    }
    currentKey_ = full;
    return true;
}

void TRegistry::CloseKey()
{
    currentKey_.clear();
}

bool TRegistry::ValueExists(const std::string& name) const
{
    if (!HasCurrentKey())
        return false;
    if (IsViewKey(currentKey_))
        return FindDevice(name, nullptr);
    bool found = false;
    store::Read([&](const file::Document& doc) {
        const file::Key* key = doc.FindKey(currentKey_);
        found = key && key->Find(name);
    });
    return found;
}

TRegDataType TRegistry::GetDataType(const std::string& name) const
{
    if (!HasCurrentKey())
        return TRegDataType::rdUnknown;
    if (IsViewKey(currentKey_))
        return FindDevice(name, nullptr) ? TRegDataType::rdString : TRegDataType::rdUnknown;
    TRegDataType type = TRegDataType::rdUnknown;
    store::Read([&](const file::Document& doc) {
        const file::Key* key = doc.FindKey(currentKey_);
        if (const file::Value* v = key ? key->Find(name) : nullptr)
            type = v->DataType();
    });
    return type;
}

void TRegistry::GetValueNames(std::vector<std::string>& names) const
{
    names.clear();
    if (!HasCurrentKey())
        return;
    if (IsViewKey(currentKey_)) {
        for (const auto& entry : serialdevices::List())
            names.push_back(entry.devicePath);
        return;
    }
    store::Read([&](const file::Document& doc) {
        if (const file::Key* key = doc.FindKey(currentKey_))
            for (const auto& v : key->Values())
                names.push_back(v.name);
    });
}

std::string TRegistry::ReadString(const std::string& name) const
{
    if (!HasCurrentKey())
        return {};
    if (IsViewKey(currentKey_)) {
        std::string port;
        FindDevice(name, &port);
        return port;
    }
    std::string text;
    bool wrongType = false;
    store::Read([&](const file::Document& doc) {
        const file::Key* key = doc.FindKey(currentKey_);
        const file::Value* v = key ? key->Find(name) : nullptr;
        if (!v)
            return;
        TRegDataType type = v->DataType();
        if (type == TRegDataType::rdString || type == TRegDataType::rdExpandString)
            text = file::StringData(doc, *v);
        else
            wrongType = true;
    });
    if (wrongType)
        throw WrongType(name);
    return text;
}

int32_t TRegistry::ReadInteger(const std::string& name) const
{
    if (!HasCurrentKey())
        throw CannotGet(name);
    if (IsViewKey(currentKey_)) {
        if (FindDevice(name, nullptr))
            throw WrongType(name);
        throw CannotGet(name);
    }
    enum { Missing, Wrong, TooLarge, Ok } result = Missing;
    uint32_t value = 0;
    store::Read([&](const file::Document& doc) {
        const file::Key* key = doc.FindKey(currentKey_);
        const file::Value* v = key ? key->Find(name) : nullptr;
        if (!v)
            return;
        if (v->kind == file::Value::Kind::Dword) {
            value = v->dword;
            result = Ok;
        } else if (v->kind == file::Value::Kind::Raw && v->rawType == file::kRegDword) {
            // A dword written out as hex(4): little-endian bytes.
            if (v->rawBytes.size() > 4) {
                result = TooLarge;
                return;
            }
            for (size_t i = 0; i < v->rawBytes.size(); ++i)
                value |= static_cast<uint32_t>(static_cast<unsigned char>(v->rawBytes[i])) << (8 * i);
            result = Ok;
        } else {
            result = Wrong;
        }
    });
    switch (result) {
    case Ok: return static_cast<int32_t>(value);
    case Wrong: throw WrongType(name);
    case Missing:
    case TooLarge: break;
    }
    throw CannotGet(name);
}

void TRegistry::WriteString(const std::string& name, std::string value)
{
    if (!HasCurrentKey() || !(access_ & KEY_SET_VALUE))
        throw CannotSet(name);
    file::Value v;
    v.name = CutAtZero(name);
    v.kind = file::Value::Kind::String;
    // A REG_SZ reads back up to its first zero byte; nothing after it
    // could ever be read, so it is not stored.
    size_t zero = value.find('\0');
    if (zero != std::string::npos)
        value.resize(zero);
    v.text = std::move(value);
    const std::string keyPath = IsViewKey(currentKey_) ? std::string(file::kSerialCommKey) : currentKey_;
    if (!store::Change([&](file::Document& doc) { return doc.EnsureKey(keyPath).Set(std::move(v)); }, nullptr, name))
        throw CannotSet(name);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value)
{
    if (!HasCurrentKey() || !(access_ & KEY_SET_VALUE))
        throw CannotSet(name);
    file::Value v;
    v.name = CutAtZero(name);
    v.kind = file::Value::Kind::Dword;
    v.dword = static_cast<uint32_t>(value);
    const std::string keyPath = IsViewKey(currentKey_) ? std::string(file::kSerialCommKey) : currentKey_;
    if (!store::Change([&](file::Document& doc) { return doc.EnsureKey(keyPath).Set(std::move(v)); }, nullptr, name))
        throw CannotSet(name);
}

} // namespace reg
