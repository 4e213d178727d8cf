// The host side of the driver tests: boots the guest in QEMU with an
// on-board UART (16550A, the 8250 driver, /dev/ttyS1) and a USB adapter
// (FT232, the ftdi_sio driver, /dev/ttyUSB0), plays the far end of both
// cables, and carries out what the guest asks for on its console:
//
//   @@UNPLUG   pull the FT232 out (device_del on the QEMU monitor)
//   @@REPLUG   plug it in again under the same id
//   @@PLUG2    plug in a second FT232 (its far end echoes too)
//   @@UNPLUG2  pull the second one out
//   @@RESULT n the guest's tests ended with exit status n
//
// The far end echoes every byte it receives, so that everything the guest
// writes comes back through the same driver: both directions, byte for
// byte. The exit status is the guest's, or 1 when it never said.
//
// Usage: drivers_host WORKDIR TIMEOUT_SECONDS COMMAND...
// (WORKDIR holds vmlinuz and initramfs.gz; COMMAND runs in the guest, in
// the host's root mounted read-only)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int ConnectUnix(const std::string& path)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "drivers_host: cannot connect to %s\n", path.c_str());
    return -1;
}

void WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: drivers_host WORKDIR TIMEOUT_SECONDS COMMAND...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string work = argv[1];
    const int timeoutSeconds = std::atoi(argv[2]);
    // The guest's init takes the command from the kernel command line,
    // words separated by commas.
    std::string command;
    for (int i = 3; i < argc; ++i)
        command += (i > 3 ? "," : "") + std::string(argv[i]);

    const std::string uart = work + "/uart.sock", usb = work + "/usb.sock", usb2 = work + "/usb2.sock",
                      monitor = work + "/monitor.sock";
    for (const std::string& path : {uart, usb, usb2, monitor})
        unlink(path.c_str());

    std::vector<std::string> args = {
        "qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-m", "1024", "-smp", "1",
        "-nographic", "-no-reboot", "-nic", "none", "-vga", "none",
        "-kernel", work + "/vmlinuz", "-initrd", work + "/initramfs.gz",
        "-append", "console=ttyS0 quiet loglevel=2 panic=-1 tarrowin.run=" + command,
        "-serial", "stdio",
        "-chardev", "socket,id=uart,path=" + uart + ",server=on,wait=off", "-serial", "chardev:uart",
        "-chardev", "socket,id=usb,path=" + usb + ",server=on,wait=off",
        "-device", "qemu-xhci", "-device", "usb-serial,chardev=usb,id=ftdi",
        // The far end of a second adapter, plugged in only on request.
        "-chardev", "socket,id=usb2,path=" + usb2 + ",server=on,wait=off",
        "-monitor", "unix:" + monitor + ",server=on,wait=off",
        "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
    };
    int console[2];
    if (pipe2(console, O_CLOEXEC) != 0)
        return 1;
    pid_t qemu = fork();
    if (qemu == 0) {
        dup2(console[1], 1);
        dup2(console[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        std::vector<char*> argvQemu;
        for (std::string& a : args)
            argvQemu.push_back(a.data());
        argvQemu.push_back(nullptr);
        execvp(argvQemu[0], argvQemu.data());
        std::perror("qemu-system-x86_64");
        _exit(127);
    }
    close(console[1]);

    // The FT232 is attached to the guest's USB only once its far end is
    // connected.
    int uartFd = ConnectUnix(uart), usbFd = ConnectUnix(usb), usb2Fd = ConnectUnix(usb2),
        monitorFd = ConnectUnix(monitor);
    int result = -1;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool consoleOpen = true;
    while (consoleOpen) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "drivers_host: the guest did not finish within %d s\n", timeoutSeconds);
            kill(qemu, SIGKILL);
            break;
        }
        pollfd fds[5] = {{console[0], POLLIN, 0}, {uartFd, POLLIN, 0}, {usbFd, POLLIN, 0}, {monitorFd, POLLIN, 0},
                         {usb2Fd, POLLIN, 0}};
        if (poll(fds, 5, 500) <= 0)
            continue;
        char buffer[4096];
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            ssize_t n = read(console[0], buffer, sizeof buffer);
            if (n <= 0) {
                consoleOpen = false;
                continue;
            }
            WriteAll(1, buffer, size_t(n));
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                if (line.rfind("@@UNPLUG2", 0) == 0) {
                    const char del[] = "device_del ftdi2\n";
                    WriteAll(monitorFd, del, sizeof del - 1);
                } else if (line.rfind("@@PLUG2", 0) == 0) {
                    const char add[] = "device_add usb-serial,chardev=usb2,id=ftdi2\n";
                    WriteAll(monitorFd, add, sizeof add - 1);
                } else if (line.rfind("@@UNPLUG", 0) == 0)
                    WriteAll(monitorFd, "device_del ftdi\n", 16);
                else if (line.rfind("@@REPLUG", 0) == 0) {
                    const char add[] = "device_add usb-serial,chardev=usb,id=ftdi\n";
                    WriteAll(monitorFd, add, sizeof add - 1);
                } else if (line.rfind("@@RESULT ", 0) == 0)
                    result = std::atoi(line.c_str() + 9);
                line.clear();
            }
        }
        for (int i : {1, 2, 4}) {
            if (fds[i].revents & POLLIN) {
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    WriteAll(fds[i].fd, buffer, size_t(n));
            }
        }
        if (fds[3].revents & POLLIN) {
            // The monitor's answers go to the log beside the guest's console
            // (a refused device_add says why there).
            ssize_t n = read(monitorFd, buffer, sizeof buffer);
            if (n <= 0)
                monitorFd = -1;
            else
                WriteAll(2, buffer, size_t(n));
        }
    }
    int status = 0;
    waitpid(qemu, &status, 0);
    if (result < 0) {
        std::fprintf(stderr, "drivers_host: the guest never reported a result\n");
        return 1;
    }
    return result;
}
