#pragma once

// A fixture for the reliability tests: the directory service points at a
// fresh temporary folder, the process-wide admin is reset around every test,
// and helpers write, read and snapshot level files. Plus the pieces the
// process tests share: running a function in a forked child and waiting
// for it.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <utility>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/classification/Mapping.h"
#include "external/directories/Directories.h"
#include "tests/common/StoreFixture.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;
using cache::Level;
using classification::Mapping;

// A mapping with the given id, plain texts and relation.
inline Mapping mappingMake(const std::string& id, Mapping::Relation relation = {}) {
    Mapping mapping(id, "Text 2", "Text 3", "Text 4", "Text 5", true, false);
    mapping.sourceToClassified = std::move(relation);
    return mapping;
}

// Every regular file under the folder with its content, by path: a
// snapshot to compare before and after an operation that must lose nothing.
inline std::map<fs::path, std::string> snapshotOf(const fs::path& folder) {
    std::map<fs::path, std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it);
         it.increment(error)) {
        // Lock files are made beside level files on first use and kept.
        if (it->is_regular_file() && it->path().extension() != ".lock") {
            files.emplace(it->path(), readFile(it->path()));
        }
    }
    return files;
}

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

// Starts a child that locks the id's user level, adds the pair there, writes
// one byte to `ready` and holds the lock until a byte arrives on `release`
// (or the parent's write end closes: the child closes its own). Status 3
// when it could not lock or add. The caller made both pipes and closes them.
inline pid_t lockHolderStart(const std::string& id, const std::string& source, const std::string& classified,
                             const int (&ready)[2], const int (&release)[2]) {
    return childStart([&] {
        ::close(release[1]);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        auto access = wrapper.writeAccessGet(id);
        if (!access.boLockFile(cache::User) || !access.boAddMapping(source, classified, cache::User)) {
            return 3;
        }
        (void)!::write(ready[1], "r", 1);
        char ignored = 0;
        (void)!::read(release[0], &ignored, 1);
        return 0;
    });
}

// A gate that forked children wait at until the parent opens it, so that
// they start together: a pipe whose write end only the parent keeps.
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

// The store fixture, plus reading a level file back.
class ReliabilityFixture : public StoreFixture {
protected:
    // The mapping in the level file; false when it does not read.
    bool boReadLevel(const std::string& id, Level level, Mapping& mapping) const {
        return readMapping(fileAt(id, level), mapping);
    }
};

} // namespace vyr::test
