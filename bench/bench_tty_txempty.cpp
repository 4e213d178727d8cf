// How soon after the computed end of a frame a tty reports its transmitter
// empty, on a pty (a device without line status: the guard is the bytes'
// wire time plus one character, counted from the moment the kernel queue is
// empty). The figure is the watcher's own lateness beyond that guard, which
// is the margin the transmit enable keeps on top of the rule; it must never
// be negative.
//
// Usage: bench_tty_txempty [frames per case, default 200]

#include "CommApi.h"
#include "Figures.h"
#include "Pty.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace win;
using Clock = std::chrono::steady_clock;

namespace {

// Ten bits a character: 8N1.
double CharacterUs(DWORD rate) { return 10e6 / rate; }

void Drain(int master)
{
    char buffer[4096];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && read(master, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    int frames = argc > 1 ? std::atoi(argv[1]) : 200;
    TestPty pty;
    HANDLE device = CreateFile(pty.SlavePath());
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", pty.SlavePath().c_str());
        return 1;
    }
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(device, timeouts);
    SetCommMask(device, EV_TXEMPTY);
    HANDLE event = CreateEvent(true, false);

    std::printf("%8s %6s %10s %10s %10s %10s\n", "rate", "bytes", "min us", "median us", "p99 us", "max us");
    for (DWORD rate : {9600u, 115200u}) {
        DCB dcb;
        dcb.BaudRate = rate;
        dcb.Flags = fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_ENABLE << 12);
        SetCommState(device, dcb);
        for (size_t bytes : {1u, 16u, 64u}) {
            std::vector<double> late;
            std::string frame(bytes, 'U');
            for (int i = 0; i < frames; ++i) {
                OVERLAPPED wait{};
                wait.hEvent = event;
                ResetEvent(event);
                DWORD events = 0;
                OVERLAPPED write{};
                write.hEvent = CreateEvent(true, false);
                DWORD done = 0;
                Clock::time_point start = Clock::now();
                WriteFile(device, frame.data(), DWORD(frame.size()), &done, &write);
                WaitForSingleObject(write.hEvent, INFINITE);
                CloseHandle(write.hEvent);
                if (!WaitCommEvent(device, &events, &wait))
                    WaitForSingleObject(event, INFINITE);
                double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                late.push_back(us - CharacterUs(rate) * double(bytes + 1));
                Drain(pty.Master());
            }
            bench::Figures f = bench::Summarise(late);
            std::printf("%8u %6zu %10.0f %10.0f %10.0f %10.0f\n", rate, bytes, f.min, f.median, f.p99, f.max);
        }
    }
    std::printf("(time from the write to the transmit-empty report, minus the wire time of the bytes\n"
                " and one character: the lateness beyond the guard; negative would be too early)\n");
    CloseHandle(event);
    CloseHandle(device);
    return 0;
}
