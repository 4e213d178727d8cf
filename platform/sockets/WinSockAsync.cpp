// Asynchronous host look-ups of the Windows Sockets stand-in.
//
// Each look-up runs on a thread of its own (the resolver blocks, and a slow
// one must not hold up the next). The thread only resolves into the task's
// own record and posts a prepared message; the caller's buffer is filled on
// the window's thread when that message is about to be handled, and only if
// the task is still in the table. A cancel removes it from the table, so a
// cancelled task never touches the buffer and never delivers, however far
// its thread had got.
#include "WinSockInternal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace winsock {

namespace {

struct Task {
    HANDLE handle = 0;
    HWND wnd = 0;
    UINT msg = 0;
    char* buf = nullptr;
    int buflen = 0;
    bool reverse = false;
    std::string name;      // forward: the name asked for
    uint32_t address = 0;  // reverse: the address asked for
    // Written by the look-up thread before it posts.
    int error = 0;
    std::string hostName;
    std::vector<uint32_t> addresses;
};

struct TaskTable {
    std::mutex mutex;
    std::map<HANDLE, std::shared_ptr<Task>> pending;
    HANDLE next = 1;
};

std::atomic<int> gRunning{0};

// Never destroyed: a look-up thread may still finish while the program ends.
TaskTable& Tasks()
{
    static auto* t = new TaskTable;
    return *t;
}

// Space the entry takes with n addresses.
size_t EntrySize(size_t n, size_t nameLength)
{
    return sizeof(HOSTENT) + sizeof(char*)          // the entry, an empty alias list
           + (n + 1) * sizeof(char*) + n * 4        // the address list and the addresses
           + nameLength + 1;                        // the name
}

// Writes the host entry into the caller's buffer; the reply's LParam.
LPARAM FillBuffer(const Task& t)
{
    if (t.error)
        return WSAMAKEASYNCREPLY(0, t.error);
    const size_t want = EntrySize(t.addresses.size(), t.hostName.size());
    const size_t room = static_cast<size_t>(t.buflen);
    if (t.addresses.empty() || EntrySize(1, t.hostName.size()) > room)
        return WSAMAKEASYNCREPLY(static_cast<int>(std::min<size_t>(want, 0xffff)), WSAENOBUFS);
    size_t n = t.addresses.size();
    while (EntrySize(n, t.hostName.size()) > room)
        --n;

    char* p = t.buf;
    auto* entry = reinterpret_cast<HOSTENT*>(p);
    p += sizeof(HOSTENT);
    auto** aliases = reinterpret_cast<char**>(p);
    p += sizeof(char*);
    auto** list = reinterpret_cast<char**>(p);
    p += (n + 1) * sizeof(char*);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(p, &t.addresses[i], 4);
        list[i] = p;
        p += 4;
    }
    list[n] = nullptr;
    aliases[0] = nullptr;
    std::memcpy(p, t.hostName.c_str(), t.hostName.size() + 1);
    entry->h_name = p;
    entry->h_aliases = aliases;
    entry->h_addrtype = static_cast<short>(AF_INET);
    entry->h_length = 4;
    entry->h_addr_list = list;
    return WSAMAKEASYNCREPLY(static_cast<int>(EntrySize(n, t.hostName.size())), 0);
}

void Run(std::shared_ptr<Task> t)
{
    if (t->reverse) {
        t->error = detail::ResolveHostAddr(t->address, t->hostName);
        if (!t->error)
            t->addresses.push_back(t->address);
    } else {
        t->error = detail::ResolveHostName(t->name, t->hostName, t->addresses);
    }
    const HANDLE handle = t->handle;
    const bool posted = detail::PostPreparedMessage(t->wnd, t->msg, handle, [t](LPARAM& lParam) {
        TaskTable& tt = Tasks();
        {
            std::lock_guard lock(tt.mutex);
            auto it = tt.pending.find(t->handle);
            if (it == tt.pending.end())
                return false; // cancelled
            tt.pending.erase(it);
        }
        lParam = FillBuffer(*t);
        return true;
    });
    if (!posted) {
        // The window is gone: nobody will ever take the answer.
        TaskTable& tt = Tasks();
        std::lock_guard lock(tt.mutex);
        tt.pending.erase(handle);
    }
    --gRunning;
}

std::shared_ptr<Task> NewTask(HWND wnd, UINT msg, char* buf, int buflen)
{
    auto t = std::make_shared<Task>();
    t->wnd = wnd;
    t->msg = msg;
    t->buf = buf;
    t->buflen = buflen;
    return t;
}

HANDLE Start(std::shared_ptr<Task> t)
{
    if (!detail::Started())
        return 0;
    if (!t->wnd) {
        detail::SetLastError(WSAEINVAL);
        return 0;
    }
    if (!t->buf || t->buflen <= 0 || reinterpret_cast<uintptr_t>(t->buf) % alignof(HOSTENT) != 0) {
        detail::SetLastError(WSAEFAULT);
        return 0;
    }
    TaskTable& tt = Tasks();
    {
        std::lock_guard lock(tt.mutex);
        t->handle = tt.next++;
        tt.pending.emplace(t->handle, t);
    }
    const HANDLE handle = t->handle;
    ++gRunning;
    try {
        std::thread(Run, std::move(t)).detach();
    } catch (const std::system_error&) {
        --gRunning;
        std::lock_guard lock(tt.mutex);
        tt.pending.erase(handle);
        detail::SetLastError(WSAENOBUFS);
        return 0;
    }
    return handle;
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen)
{
    if (!name) {
        detail::SetLastError(WSAEFAULT);
        return 0;
    }
    auto t = NewTask(wnd, msg, buf, buflen);
    t->name = name;
    return Start(std::move(t));
}

HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen)
{
    if (!addr || len < 4) {
        detail::SetLastError(WSAEFAULT);
        return 0;
    }
    if (type != AF_INET) {
        detail::SetLastError(WSAEAFNOSUPPORT);
        return 0;
    }
    auto t = NewTask(wnd, msg, buf, buflen);
    t->reverse = true;
    std::memcpy(&t->address, addr, 4);
    return Start(std::move(t));
}

int WSACancelAsyncRequest(HANDLE task)
{
    if (!detail::Started())
        return SOCKET_ERROR;
    TaskTable& tt = Tasks();
    std::lock_guard lock(tt.mutex);
    if (tt.pending.erase(task) == 1)
        return 0;
    return detail::Fail(task != 0 && task < tt.next ? WSAEALREADY : WSAEINVAL);
}

int LookupThreadCount() { return gRunning.load(); }

int PendingLookupCount()
{
    TaskTable& tt = Tasks();
    std::lock_guard lock(tt.mutex);
    return static_cast<int>(tt.pending.size());
}

} // namespace winsock
