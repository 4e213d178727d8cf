#pragma once
// A program the test starts and watches: its output collected from pipes,
// its end and exit code, and it never outlives the test process.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

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

    bool Start(const Options& o, std::string& error)
    {
        name_ = o.argv.empty() ? std::string("(function)") : o.argv[0];
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            error = "pipe: " + std::string(std::strerror(errno));
            return false;
        }
        int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::vector<char*> argv, envp;
        for (const std::string& a : o.argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : o.env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();

        pid_ = ::fork();
        if (pid_ < 0) {
            error = "fork: " + std::string(std::strerror(errno));
            return false;
        }
        if (pid_ == 0) {
            ::dup2(devnull, 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (o.passAs3 >= 0)
                ::dup2(o.passAs3, 3);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            if (o.asUser >= 0) {
                if (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(o.asUser)) != 0 ||
                    ::setuid(static_cast<uid_t>(o.asUser)) != 0)
                    ::_exit(125);
            }
            // Nothing outlives the test that started it; set after the change
            // of user, which clears it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(126);
            if (o.body)
                ::_exit(o.body());
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        if (devnull >= 0)
            ::close(devnull);
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
        return true;
    }

    pid_t Pid() const { return pid_; }
    const std::string& Out() const { return outText_; }
    const std::string& Err() const { return errText_; }

    // Takes in what the child has written so far, without waiting.
    void Drain()
    {
        DrainOne(out_, outText_);
        DrainOne(err_, errText_);
    }
    void AddPollFds(std::vector<pollfd>& fds) const
    {
        for (int fd : {out_, err_})
            if (fd >= 0)
                fds.push_back({fd, POLLIN, 0});
    }
    bool Running()
    {
        if (pid_ <= 0 || ended_)
            return false;
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
            Drain();
        }
        return !ended_;
    }
    // Exit code of a process that ended normally; -1 otherwise.
    int ExitCode() const { return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string Status()
    {
        if (Running())
            return "running";
        if (!ended_)
            return "not started";
        if (WIFEXITED(status_))
            return "exit code " + std::to_string(WEXITSTATUS(status_));
        return "killed by signal " + std::to_string(WTERMSIG(status_));
    }
    void Signal(int sig)
    {
        if (Running())
            ::kill(pid_, sig);
    }
    void Kill()
    {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            ended_ = true;
            Drain();
        }
        for (int* fd : {&out_, &err_}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
    // Waits at most limitMs for the end, reading the output meanwhile; true
    // when the process has ended.
    bool WaitForExit(int limitMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (Running()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return false;
            std::vector<pollfd> fds;
            AddPollFds(fds);
            // Short slices: the end of the process itself is no event here.
            ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 10)));
            Drain();
        }
        return true;
    }
    std::string Describe()
    {
        return name_ + " (pid " + std::to_string(pid_) + ", " + Status() + ")\n  stdout: " + outText_ +
               "\n  stderr: " + errText_ + "\n";
    }

private:
    static void DrainOne(int& fd, std::string& text)
    {
        if (fd < 0)
            return;
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                text.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) { // the child's end is closed
                ::close(fd);
                fd = -1;
            }
            return;
        }
    }

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
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                                const std::vector<std::string>& unset = {})
{
    std::vector<std::string> prefixes;
    for (const std::string& name : unset)
        prefixes.push_back(name + "=");
    for (const std::string& x : set)
        prefixes.push_back(x.substr(0, x.find('=') + 1));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        if (std::none_of(prefixes.begin(), prefixes.end(),
                         [&](const std::string& p) { return s.compare(0, p.size(), p) == 0; }))
            env.push_back(s);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}
