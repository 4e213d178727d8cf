#include "CommApi.h"

#include "CommDevice.h"
#include "SerialDevices.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <unordered_map>

#include <sys/resource.h>
#include <unistd.h>

namespace win {

namespace {

thread_local DWORD lastError = 0;
thread_local std::string serverAnswer;

BOOL Fail(DWORD code)
{
    lastError = code;
    return false;
}

// A Windows-style event: manual-reset ones stay signalled until reset and
// release every waiter; auto-reset ones release one waiter and reset.
class EventObject final : public detail::KernelObject {
public:
    EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}

    void Set()
    {
        {
            std::lock_guard lock(mutex_);
            signaled_ = true;
        }
        if (manualReset_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }

    void Reset()
    {
        std::lock_guard lock(mutex_);
        signaled_ = false;
    }

    DWORD Wait(DWORD milliseconds)
    {
        std::unique_lock lock(mutex_);
        auto isSignaled = [this] { return signaled_; };
        if (milliseconds == INFINITE)
            changed_.wait(lock, isSignaled);
        else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignaled))
            return WAIT_TIMEOUT;
        if (!manualReset_)
            signaled_ = false;
        return WAIT_OBJECT_0;
    }

private:
    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signaled_;
};

std::shared_ptr<EventObject> FindEvent(HANDLE handle)
{
    return std::dynamic_pointer_cast<EventObject>(detail::FindObject(handle));
}

// Handles start far above file descriptor numbers, so that a descriptor
// passed by mistake is refused instead of naming some object.
constexpr HANDLE FirstHandle = 0x10000;

// The device path under which the serial-device list offers the plug.
constexpr const char* LoopbackPath = "loopback";

class HandleTable {
public:
    HANDLE Add(std::shared_ptr<detail::KernelObject> object)
    {
        std::lock_guard lock(mutex_);
        HANDLE handle = next_++;
        objects_.emplace(handle, Entry{std::move(object), false});
        return handle;
    }

    // Closing objects are no longer found, except by FindClosing.
    std::shared_ptr<detail::KernelObject> Find(HANDLE handle, bool closingToo = false)
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(handle);
        if (it == objects_.end() || (it->second.closing && !closingToo))
            return nullptr;
        return it->second.object;
    }

    // Marks the object as closing: from now on only FindClosing finds it,
    // until Forget takes it out once its Close() has returned.
    std::shared_ptr<detail::KernelObject> BeginClose(HANDLE handle)
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(handle);
        if (it == objects_.end() || it->second.closing)
            return nullptr;
        it->second.closing = true;
        return it->second.object;
    }

    void Forget(HANDLE handle)
    {
        std::lock_guard lock(mutex_);
        objects_.erase(handle);
    }

private:
    struct Entry {
        std::shared_ptr<detail::KernelObject> object;
        bool closing;
    };
    std::mutex mutex_;
    std::unordered_map<HANDLE, Entry> objects_;
    HANDLE next_ = FirstHandle; // never reused: 2^63 handles outlast any run
};

HandleTable& Table()
{
    static HandleTable table;
    return table;
}

// Runs one device operation, translating its error code into the last error.
template <typename Operation>
BOOL OnDevice(HANDLE device, Operation&& operation)
{
    auto object = detail::FindDevice(device);
    if (!object)
        return Fail(EBADF);
    DWORD error = operation(*object);
    return error == 0 ? true : Fail(error);
}

// "COM3" is looked up in the serial-device list; "\\.\COM3" (the Windows form
// for ports above 9) means the same; a path is taken as it is, and so is the
// loopback plug's name.
std::string ResolveDevicePath(const std::string& name)
{
    std::string port = name;
    if (port.rfind("\\\\.\\", 0) == 0)
        port.erase(0, 4);
    if (port.empty())
        return {};
    if (port[0] == '/' || port == LoopbackPath || detail::IsNetworkPortPath(port))
        return port;
    return serialdevices::PathForPort(port);
}

} // namespace

namespace detail {

std::shared_ptr<CommDevice> OpenDevice(const std::string& path, DWORD& error)
{
    if (path == LoopbackPath)
        return OpenLoopbackDevice(error);
    if (IsNetworkPortPath(path))
        return OpenNetworkDevice(path, error);
    if (!path.empty() && path[0] == '/')
        return OpenTtyDevice(path, error);
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

void SetServerAnswer(const std::string& text)
{
    serverAnswer = text;
}

HANDLE RegisterObject(std::shared_ptr<KernelObject> object)
{
    return Table().Add(std::move(object));
}

std::shared_ptr<KernelObject> FindObject(HANDLE handle)
{
    return Table().Find(handle);
}

std::shared_ptr<CommDevice> FindDevice(HANDLE handle)
{
    return std::dynamic_pointer_cast<CommDevice>(Table().Find(handle));
}

std::shared_ptr<CommDevice> FindDeviceForCancel(HANDLE handle)
{
    return std::dynamic_pointer_cast<CommDevice>(Table().Find(handle, true));
}

} // namespace detail

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

std::string FormatMessage(DWORD code)
{
    if (code == ERROR_IO_PENDING)
        return "Overlapped I/O operation is in progress.";
    if (code == ERROR_IO_INCOMPLETE)
        return "Overlapped I/O event is not in a signaled state.";
    if (code == ERROR_PORT_SERVER)
        return serverAnswer.empty() ? "The serial device server refused the request." : serverAnswer;
    // strerrordesc_np, unlike strerror, has no made-up text for unknown codes.
    const char* text = code <= 0x7FFFFFFF ? strerrordesc_np(static_cast<int>(code)) : nullptr;
    return text ? std::string(text) : std::string();
}

HANDLE CreateEvent(bool manualReset, bool initialState)
{
    return detail::RegisterObject(std::make_shared<EventObject>(manualReset, initialState));
}

BOOL SetEvent(HANDLE event)
{
    auto object = FindEvent(event);
    if (!object)
        return Fail(EBADF);
    object->Set();
    return true;
}

BOOL ResetEvent(HANDLE event)
{
    auto object = FindEvent(event);
    if (!object)
        return Fail(EBADF);
    object->Reset();
    return true;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto object = FindEvent(handle);
    if (!object) {
        lastError = EBADF;
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

HANDLE CreateFile(const std::string& name)
{
    detail::BeginOpenReason();
    std::string path = ResolveDevicePath(name);
    if (path.empty()) {
        lastError = ERROR_FILE_NOT_FOUND;
        detail::EndOpenReason(name, path, lastError);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = 0;
    auto device = detail::OpenDevice(path, error);
    if (!device) {
        lastError = error;
        detail::EndOpenReason(name, path, error);
        return INVALID_HANDLE_VALUE;
    }
    return detail::RegisterObject(std::move(device));
}

BOOL CloseHandle(HANDLE handle)
{
    auto object = Table().BeginClose(handle);
    if (!object)
        return Fail(EBADF);
    object->Close();
    Table().Forget(handle);
    return true;
}

BOOL GetCommState(HANDLE device, DCB& dcb)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.GetState(dcb); });
}

BOOL SetCommState(HANDLE device, const DCB& dcb)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.SetState(dcb); });
}

BOOL SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.SetTimeouts(timeouts); });
}

BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.Setup(inQueue, outQueue); });
}

BOOL SetCommMask(HANDLE device, DWORD mask)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.SetMask(mask); });
}

BOOL PurgeComm(HANDLE device, DWORD flags)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.Purge(flags); });
}

BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* stat)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.ClearError(errors, stat); });
}

BOOL EscapeCommFunction(HANDLE device, DWORD function)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.Escape(function); });
}

BOOL GetCommProperties(HANDLE device, COMMPROP& properties)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.GetProperties(properties); });
}

BOOL WaitCommEvent(HANDLE device, DWORD* events, OVERLAPPED* overlapped)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.WaitEvent(events, overlapped); });
}

BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped)
{
    return OnDevice(device, [&](detail::CommDevice& d) { return d.Read(buffer, count, done, overlapped); });
}

BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped)
{
    return OnDevice(device,
                    [&](detail::CommDevice& d) { return d.Write(buffer, count, done, overlapped); });
}

BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* done, bool wait)
{
    return OnDevice(device,
                    [&](detail::CommDevice& d) { return d.OverlappedResult(overlapped, done, wait); });
}

BOOL CancelIo(HANDLE device, OVERLAPPED* overlapped)
{
    // A handle being closed by another thread is still found here: its
    // Close() may not have ended the caller's operations yet, and the caller
    // must not free their storage before they have ended.
    auto object = detail::FindDeviceForCancel(device);
    if (!object)
        return Fail(EBADF);
    DWORD error = object->Cancel(overlapped);
    return error == 0 ? true : Fail(error);
}

BOOL SetCurrentThreadPriority(int priority)
{
    // Thread priorities become nice values of the calling thread. Lowering
    // always works; raising needs the privilege to do so.
    int nice = priority <= THREAD_PRIORITY_IDLE            ? 19
               : priority <= THREAD_PRIORITY_LOWEST       ? 10
               : priority <= THREAD_PRIORITY_BELOW_NORMAL ? 5
               : priority == THREAD_PRIORITY_NORMAL        ? 0
               : priority <= THREAD_PRIORITY_ABOVE_NORMAL ? -5
               : priority <= THREAD_PRIORITY_HIGHEST      ? -10
                                                          : -20;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) != 0)
        return Fail(errno);
    return true;
}

} // namespace win
