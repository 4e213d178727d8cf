#pragma once
// A program the test starts and watches: its output collected from pipes,
// its exit code, and it never outlives the test process.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv; // argv[0] is looked up in PATH
        std::vector<std::string> env;
        long asUser = -1; // uid and gid, no supplementary groups
        int passAs3 = -1; // e.g. for Xvfb's -displayfd
        // Run instead of a program, its result the exit code. Only system
        // calls: the child of a threaded process.
        std::function<int()> body;
    };

    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const Options& o, std::string& error)
    {
        name_ = o.argv.empty() ? "(function)" : o.argv[0];
        // Made before the fork, as the child must not allocate.
        std::vector<char*> argv, envp;
        for (const std::string& a : o.argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : o.env)
            envp.push_back(const_cast<char*>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) {
            error = "pipe/fork: " + std::string(std::strerror(errno));
            return false;
        }
        if (pid_ == 0) {
            ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (o.passAs3 >= 0)
                ::dup2(o.passAs3, 3);
            // A blocked signal or an ignored SIGPIPE would be inherited.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            if (o.asUser >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(o.asUser)) != 0 ||
                                  ::setuid(uid_t(o.asUser)) != 0))
                ::_exit(125);
            // Set after the change of user, which clears it; the parent may
            // be gone already.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(126);
            if (o.body)
                ::_exit(o.body());
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        for (int* p : {out, err}) {
            ::close(p[1]);
            ::fcntl(p[0], F_SETFL, O_NONBLOCK);
        }
        out_ = out[0];
        err_ = err[0];
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
        if (pid_ > 0 && !ended_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
            Drain();
        }
        return pid_ > 0 && !ended_;
    }
    // -1 unless the process ended normally.
    int ExitCode() const { return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    void Signal(int sig)
    {
        if (Running())
            ::kill(pid_, sig);
    }
    void Kill()
    {
        if (Running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            ended_ = true;
            Drain();
        }
        for (int* fd : {&out_, &err_})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
    }
    std::string Describe()
    {
        const std::string status = Running() ? "running"
                                   : !ended_ ? "not started"
                                   : WIFEXITED(status_) ? "exit code " + std::to_string(WEXITSTATUS(status_))
                                                        : "killed by signal " + std::to_string(WTERMSIG(status_));
        return name_ + " (pid " + std::to_string(pid_) + ", " + status + ")\n  stdout: " + outText_ +
               "\n  stderr: " + errText_ + "\n";
    }

private:
    static void DrainOne(int& fd, std::string& text)
    {
        char buf[8192];
        ssize_t n = -1;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, size_t(n));
        if (n == 0) // the child's end is closed
            ::close(std::exchange(fd, -1));
    }

    std::string name_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::string outText_, errText_;
};

// This process's environment without the variables named in `unset`, and
// with those in `set` ("NAME=value") in place of its own.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                                const std::vector<std::string>& unset = {})
{
    std::vector<std::string> prefixes, env;
    for (const std::string& name : unset)
        prefixes.push_back(name + "=");
    for (const std::string& x : set)
        prefixes.push_back(x.substr(0, x.find('=') + 1));
    for (char** e = environ; *e; ++e)
        if (std::none_of(prefixes.begin(), prefixes.end(),
                         [&](const std::string& p) { return std::strncmp(*e, p.c_str(), p.size()) == 0; }))
            env.emplace_back(*e);
    env.insert(env.end(), set.begin(), set.end());
    return env;
}
