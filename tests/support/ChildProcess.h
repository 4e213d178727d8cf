#pragma once
// A program the test starts and watches: its output collected from pipes,
// its end and exit code, and it never outlives the test process.

#include <poll.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class ChildProcess {
public:
    struct Options {
        // argv[0] is looked up in PATH unless it holds a '/'.
        std::vector<std::string> argv;
        std::vector<std::string> env;
        // Run as another user (uid and gid), no supplementary groups.
        long asUser = -1;
        // Passed on as descriptor 3 (Xvfb's -displayfd).
        int passAs3 = -1;
        // Run in the child instead of a program; only system calls in it
        // (after fork only this thread exists). Its result is the exit code.
        std::function<int()> body;
    };

    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const Options& o, std::string& error);

    pid_t Pid() const { return pid_; }
    const std::string& Out() const { return outText_; }
    const std::string& Err() const { return errText_; }

    // Takes in what the child has written so far, without waiting.
    void Drain();
    void AddPollFds(std::vector<pollfd>& fds) const;

    bool Running();
    // Exit code of a process that ended normally; -1 otherwise.
    int ExitCode() const;
    std::string Status();
    void Signal(int sig);
    void Kill();
    // Waits at most limitMs for the end, reading the output meanwhile; true
    // when the process has ended.
    bool WaitForExit(int limitMs);
    std::string Describe();

private:
    std::string name_;
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::string outText_, errText_;
};

// This process's environment without the variables named in `unset` and
// with those in `set` ("NAME=value") in place of its own.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset = {});
