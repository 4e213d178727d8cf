#pragma once
// Private to the comm API: the objects that stand behind handles.
//
// Every handle the comm API gives out names one KernelObject in a
// process-wide table. Lookups hand out shared ownership, so an object that
// one thread is using (an event being waited on, a device in the middle of a
// call) stays alive when another thread closes its handle; CloseHandle only
// takes the handle out of the table and calls Close(), which releases what
// the object holds and ends whatever waits on it.
//
// A CommDevice is one serial device behind a handle. The tty device
// (TtyDevice.cpp) drives a real tty through termios2; a simulated device (the
// loopback plug) derives from the same class and is created by OpenDevice()
// when the resolved path does not begin with "/".
//
// Error convention: device operations return 0 on success or the error code
// that the API function leaves as the thread's last error (errno values,
// ERROR_IO_PENDING for an overlapped operation that goes on).

#include "CommApi.h"

#include <memory>
#include <mutex>
#include <string>

namespace win::detail {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once, by CloseHandle, after the handle has left the table.
    virtual void Close() {}
};

class CommDevice : public KernelObject {
public:
    virtual DWORD GetState(DCB& dcb) = 0;
    virtual DWORD SetState(const DCB& dcb) = 0;
    virtual DWORD Purge(DWORD flags) = 0;
    virtual DWORD ClearError(DWORD* errors, COMSTAT* stat) = 0;
    virtual DWORD Escape(DWORD function) = 0;

    // Stored for the transfer and event code of the device; the base class
    // only validates and keeps them.
    virtual DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
    virtual DWORD Setup(DWORD inQueue, DWORD outQueue);
    virtual DWORD SetMask(DWORD mask);

    // Overlapped operations. Not built yet: they come with the event thread,
    // and until then every device refuses them with ENOSYS rather than
    // pretending to have moved data. Whoever builds them keeps these rules:
    // a transfer completes into the caller's OVERLAPPED and buffer only until
    // CancelIo (or Close) returns for it, and its completion sets
    // OVERLAPPED::hEvent through SetEvent. Waits that block on the tty must
    // never use a descriptor that Close() may close under them.
    virtual DWORD WaitEvent(DWORD* events, OVERLAPPED* overlapped);
    virtual DWORD Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
    virtual DWORD Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
    virtual DWORD OverlappedResult(OVERLAPPED* overlapped, DWORD* done, bool wait);
    virtual DWORD Cancel(OVERLAPPED* overlapped);

protected:
    // Guards the stored settings below and whatever state a derived device
    // keeps; device operations are called from several threads.
    std::mutex mutex_;
    COMMTIMEOUTS timeouts_{};
    DWORD inQueueSize_ = 0;
    DWORD outQueueSize_ = 0;
    DWORD eventMask_ = 0;
};

// Opens the device at `path` (already resolved from a port name). On failure
// returns null and sets `error`; ERROR_FILE_NOT_FOUND means there is no such
// device.
std::shared_ptr<CommDevice> OpenDevice(const std::string& path, DWORD& error);
std::shared_ptr<CommDevice> OpenTtyDevice(const std::string& path, DWORD& error);

// The handle table.
HANDLE RegisterObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindObject(HANDLE handle);
std::shared_ptr<CommDevice> FindDevice(HANDLE handle);

} // namespace win::detail
