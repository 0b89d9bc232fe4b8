// Child processes of the end-to-end tests: start a program with extra environment entries in a
// folder with its output in a log, poll for its end, and end it (politely, then for good).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace ziv {

// Starts argv[0] in its own process group, in `dir` (unless empty), stdin from /dev/null and
// stdout/stderr appended to `log`. An `env` entry "NAME=value" sets, a bare "NAME" unsets.
// `nice` other than 0 sets the child's priority where allowed (a negative value raises it).
inline pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& dir, const std::string& log, int nice = 0) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    if (nice != 0) (void)setpriority(PRIO_PROCESS, 0, nice);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq == std::string::npos) unsetenv(e.c_str());
        else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::vector<char*> a;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execvp(a[0], a.data());
    _exit(127);
}

// Exit status once the process has ended (128 + signal when killed), -1 while it runs.
inline int exited(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Sends `sig`, waits up to five seconds, then kills; pid becomes -1.
inline void end_process(pid_t& pid, int sig = SIGTERM) {
    if (pid <= 0) return;
    kill(pid, sig);
    for (int i = 0; i < 50 && exited(pid) < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (exited(pid) < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

}  // namespace ziv
