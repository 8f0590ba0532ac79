#pragma once

// Helpers for running the built programs as child processes on copies of the
// sample data: a run with its exit status and both outputs, a run whose
// standard error is a terminal, and a snapshot of a folder tree that tells
// whether anything was written.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/TestSupport.h"

extern char** environ;

namespace vyr::test {

namespace fs = std::filesystem;

// What a child process did.
struct Outcome {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// The lines of a text, without their line ends.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Runs the program with the arguments, standard input from the file (or
// /dev/null), standard output and standard error into files of the folder,
// and waits for it. stderrPath, when given, receives standard error instead.
inline Outcome runProgram(const fs::path& program, const std::vector<std::string>& args, const fs::path& ioFolder,
                          const fs::path& stdinPath = "/dev/null", const fs::path& stderrPath = {}) {
    static int counter = 0;
    const std::string stem = std::to_string(counter++);
    const fs::path outPath = ioFolder / (stem + ".out");
    const fs::path errPath = stderrPath.empty() ? ioFolder / (stem + ".err") : stderrPath;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     stderrPath.empty() ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY, 0644);
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    Outcome outcome;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << spawned;
        return outcome;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(outPath);
    if (stderrPath.empty()) {
        outcome.err = readFile(errPath);
    }
    return outcome;
}

// Every file and folder below the root, with its content and last-write time,
// so that two snapshots differ when anything was created, changed or removed.
using Snapshot = std::map<fs::path, std::pair<std::string, fs::file_time_type>>;

inline Snapshot snapshotOf(const fs::path& root) {
    Snapshot snapshot;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string content = entry.is_regular_file() ? readFile(entry.path()) : std::string("<folder>");
        snapshot[fs::relative(entry.path(), root)] = {content, fs::last_write_time(entry.path())};
    }
    return snapshot;
}

} // namespace vyr::test
