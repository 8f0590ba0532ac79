#pragma once

// Runs a program as a child process, as the benchmarks of the tool measure
// it: its standard output goes to /dev/null, and the run gives what the
// child cost.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vyr::bench {

// One finished child: whether it ended with status 0, the CPU seconds it
// used (user and system), the wall seconds from start to end and its peak
// resident memory. A plain value.
struct ChildRun {
    bool boOk = false;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double peakBytes = 0;
};

// Runs the program at `path` with the arguments and waits for it. boOk is
// false when it could not start or did not end with status 0.
inline ChildRun childRun(const char* path, const std::vector<std::string>& args) {
    std::vector<std::string> text{path};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ChildRun run;
    if (spawned != 0) {
        return run;
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    run.boOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0; // kilobytes on Linux
    return run;
}

} // namespace vyr::bench
