#pragma once

// Child processes for the tests: a function run in a forked child, a gate
// that forked children wait at, a program run to its end with its exit
// status and both outputs, and the output lines of a shell command.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/common/TestSupport.h"

extern "C" char** environ;

namespace vyr::test {

// Runs the function in a forked child, which leaves through _exit with the
// function's result; the child uses only the store, never the test
// framework. Returns the child's process id.
inline pid_t childStart(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 1;
        try {
            status = body();
        } catch (...) {
            status = 2;
        }
        ::_exit(status);
    }
    return child;
}

// Waits for the child; its exit status, or 128 plus the signal that ended it.
inline int childWait(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// A gate that forked children wait at until the parent opens it, so that
// they start together: a pipe whose write end only the parent keeps.
// Owns the pipe; each process uses its own copy from one thread.
class StartGate {
public:
    StartGate() {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    StartGate(const StartGate&) = delete;
    StartGate& operator=(const StartGate&) = delete;
    ~StartGate() { vOpen(); }

    // In a child: waits until the parent opens the gate.
    void vWait() const {
        ::close(fds_[1]);
        char ignored = 0;
        (void)!::read(fds_[0], &ignored, 1);
    }
    // In a child that does not wait: lets go of both ends.
    void vLeave() const {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    // In the parent: every waiting child goes on.
    void vOpen() {
        for (int& fd : fds_) {
            if (fd >= 0) {
                ::close(std::exchange(fd, -1));
            }
        }
    }

private:
    int fds_[2];
};

// What a program run did.
struct Outcome {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// How a program runs, besides its arguments.
struct RunSettings {
    std::filesystem::path stdinPath = "/dev/null";
    // When set, standard error goes to this existing file (a terminal, say)
    // and the outcome's err stays empty.
    std::filesystem::path stderrPath;
    // The child's working folder; this process's when empty.
    std::filesystem::path workingFolder;
    // "NAME=value" each, replacing or adding to this process's environment.
    std::vector<std::string> environment;
};

// Settings that take standard input from the file.
inline RunSettings stdinFrom(const std::filesystem::path& file) {
    RunSettings settings;
    settings.stdinPath = file;
    return settings;
}

// Settings that send standard error to the existing file.
inline RunSettings stderrTo(const std::filesystem::path& file) {
    RunSettings settings;
    settings.stderrPath = file;
    return settings;
}

namespace detail {

// Null-terminated pointers into the texts, which must outlive them.
inline std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment with the settings replacing or added.
inline std::vector<std::string> environmentWith(const std::vector<std::string>& settings) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view setting(*entry);
        const bool boReplaced = std::any_of(settings.begin(), settings.end(), [&](const std::string& mine) {
            return setting.substr(0, setting.find('=')) == std::string_view(mine).substr(0, mine.find('='));
        });
        if (!boReplaced) {
            environment.emplace_back(setting);
        }
    }
    environment.insert(environment.end(), settings.begin(), settings.end());
    return environment;
}

} // namespace detail

// Runs the program with the arguments and waits for it. Standard output and
// standard error go through files of ioFolder (created when missing).
inline Outcome runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& ioFolder, const RunSettings& settings = {}) {
    static int counter = 0;
    std::filesystem::create_directories(ioFolder);
    const std::string stem = std::to_string(counter++);
    const std::filesystem::path outPath = ioFolder / (stem + ".out");
    const bool boOwnErr = settings.stderrPath.empty();
    const std::filesystem::path errPath = boOwnErr ? ioFolder / (stem + ".err") : settings.stderrPath;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!settings.workingFolder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, settings.workingFolder.c_str());
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, settings.stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     boOwnErr ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY, 0644);
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv = detail::pointersTo(argvText);
    std::vector<std::string> environment = detail::environmentWith(settings.environment);
    std::vector<char*> envp = detail::pointersTo(environment);

    Outcome outcome;
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(spawned);
        return outcome;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(outPath);
    if (boOwnErr) {
        outcome.err = readFile(errPath);
    }
    return outcome;
}

// The lines a shell command writes on its standard output, without their
// line ends; a test failure when the command cannot be started.
inline std::vector<std::string> commandLines(const std::string& command) {
    std::vector<std::string> lines;
    const std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return lines;
    }
    std::array<char, 4096> buffer{};
    std::string line;
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe.get()) != nullptr) {
        line += buffer.data();
        if (line.back() == '\n') {
            line.pop_back();
            lines.push_back(std::move(line));
            line.clear();
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace vyr::test
