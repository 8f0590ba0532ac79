// `edit`: a level file edited by hand, under the level's lock. The file is
// copied to a private temporary file, the person's editor runs on the copy,
// and the copy reaches the level file only when it reads as the store reads
// a level file; until then the level file keeps what it had.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/assert/Assert.h"
#include "tools/classification/CommandSupport.h"
#include "tools/classification/Commands.h"
#include "tools/classification/Display.h"

extern char** environ;

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// The editor the person chose: $VISUAL, else $EDITOR, else vi. A command
// line for the shell, so that "code --wait" works.
std::string editorGet() {
    for (const char* name : {"VISUAL", "EDITOR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "vi";
}

// A private temporary file (mode 0600) holding the bytes, named after the id
// and level so that the editor shows what is edited. Empty path on failure.
fs::path copyMake(const std::string& id, Level level, const std::string& bytes, std::string& reason) {
    std::string stem;
    for (const char c : id.substr(0, 64)) {
        const bool boPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '_' || c == '.';
        stem += boPlain ? c : '_';
    }
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/vyr-classification-" +
                       stem + "." + std::string(levelName(level)) + ".XXXXXX.xml";
    const int descriptor = ::mkstemps(name.data(), 4);
    if (descriptor < 0) {
        reason = std::string("cannot make a temporary copy: ") + std::strerror(errno);
        return {};
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (count <= 0 && errno != EINTR) {
            reason = std::string("cannot write the temporary copy: ") + std::strerror(count == 0 ? EIO : errno);
            ::close(descriptor);
            ::unlink(name.c_str());
            return {};
        }
        written += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    ::close(descriptor);
    return name;
}

// Runs the editor on the file, with the tool's terminal, and waits for it.
// The tool ignores the terminal's interrupt and quit keys meanwhile, as a
// shell does for a foreground job: they belong to the editor. Returns the
// editor's exit status, or -1 when it did not start or end normally.
int iEditorRun(const std::string& editor, const fs::path& file) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldInterrupt {};
    struct sigaction oldQuit {};
    ::sigaction(SIGINT, &ignore, &oldInterrupt);
    ::sigaction(SIGQUIT, &ignore, &oldQuit);
    // The editor itself gets the keys' default behaviour back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::string script = editor + " \"$1\"";
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string name = "sh";
    std::string path = file.string();
    char* argv[] = {shell.data(), dashC.data(), script.data(), name.data(), path.data(), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, shell.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    if (spawned == 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ::sigaction(SIGINT, &oldInterrupt, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
    return spawned == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How many source ids differ between the two relations.
std::size_t sourcesChanged(const classification::Mapping::Relation& before,
                           const classification::Mapping::Relation& after) {
    std::size_t changed = 0;
    auto left = before.begin();
    auto right = after.begin();
    while (left != before.end() || right != after.end()) {
        if (right == after.end() || (left != before.end() && left->first < right->first)) {
            ++changed;
            ++left;
        } else if (left == before.end() || right->first < left->first) {
            ++changed;
            ++right;
        } else {
            changed += left->second != right->second ? 1 : 0;
            ++left;
            ++right;
        }
    }
    return changed;
}

} // namespace

int iHandEditRun(const Context& context, const std::string& id, Level level, bool boTerminal, std::istream& in) {
    if (!boTerminal) {
        context.err << "vyr-classification edit: standard input is not a terminal; edit runs an editor and may ask a "
                       "question (scripts use export and import instead); nothing changed\n";
        return kExitUsage;
    }
    const std::string shown = displayText(id) + " at level " + std::string(levelName(level));
    const fs::path file = filePathGet(context.folders, level, id);

    AdminWrapper store;
    if (pReadableCacheGet(store, id) == nullptr) {
        vWarningsPrint(context, "edit", unreadLevelsGet(context, id, nullptr));
        return iFail(context, "edit", sMissingReason(context, id) + "; nothing changed");
    }
    std::optional<classification::WriteAccess> access(store.writeAccessGet(id));
    const Cache& cache = *store.cachesGet(id);
    std::vector<Warning> warnings = unreadLevelsGet(context, id, &cache);
    if (const std::optional<std::string> reason = editedLevelProblemTake(warnings, level)) {
        vWarningsPrint(context, "edit", warnings);
        return iFail(context, "edit",
                     pathText(file) + " does not read (" + *reason +
                         "); the store will not take it over: mend it in place, then run check");
    }
    vWarningsPrint(context, "edit", warnings);

    // Held until the copy is taken or dropped: other writers wait for it.
    assert::Assert::vClear();
    if (!access->boLockFile(level)) {
        const std::vector<std::string> failures = writeFailuresGet();
        return iFail(context, "edit",
                     "cannot lock " + pathText(file) + " for writing" +
                         (failures.empty() ? "" : ": " + failures.front()) + "; nothing changed");
    }
    std::string original;
    if (!access->boLevelDocumentGet(level, original)) {
        return iFail(context, "edit", "cannot read " + pathText(file) + "; nothing changed");
    }
    const auto present = cache.levels.find(level);
    const classification::Mapping::Relation before =
        present == cache.levels.end() ? classification::Mapping::Relation() : present->second.sourceToClassified;
    // The level file handed back as it was: the write access then leaves
    // it untouched when it lets the level go.
    const auto fileKept = [&] {
        std::string ignored;
        (void)access->boLevelReplace(level, original, ignored);
    };
    std::string reason;
    const fs::path copy = copyMake(id, level, original, reason);
    if (copy.empty()) {
        fileKept();
        return iFail(context, "edit", reason + "; nothing changed");
    }

    const std::string editor = editorGet();
    std::string edited;
    while (true) {
        const int status = iEditorRun(editor, copy);
        if (status != 0) {
            fileKept();
            return iFail(context, "edit",
                         "the editor (" + editor + ") ended with " +
                             (status < 0 ? std::string("no status") : "status " + std::to_string(status)) +
                             "; nothing changed; the copy stays in " + pathText(copy));
        }
        if (!boFileBytesGet(copy, edited, reason)) {
            fileKept();
            return iFail(context, "edit", "the copy " + pathText(copy) + " " + reason + "; nothing changed");
        }
        if (edited == original) {
            fileKept();
            fs::remove(copy);
            context.out << "the copy of " << shown << " was not changed; nothing changed (" << pathText(file) << ")\n";
            return iDoneStatus(warnings);
        }
        if (access->boLevelReplace(level, edited, reason)) {
            break;
        }
        // Nothing of it is taken: the level file keeps what it had.
        context.err << "vyr-classification edit: the edited copy does not read: " << reason << '\n';
        // No answer at all (end of input) discards.
        std::string answer;
        bool boAnswered = false;
        do {
            context.err << "Edit it again (e) or discard the changes (d)? [e] " << std::flush;
            boAnswered = static_cast<bool>(std::getline(in, answer));
        } while (boAnswered && answer != "" && answer != "e" && answer != "d");
        if (!boAnswered || answer == "d") {
            fileKept();
            return iFail(context, "edit", "discarded; nothing changed; the copy stays in " + pathText(copy));
        }
    }
    const std::string failure = sWriteBackFailureGet(*access);
    if (!failure.empty()) {
        return iFail(context, "edit",
                     "could not write " + pathText(file) + ": " + failure + "; the copy stays in " + pathText(copy));
    }
    access.reset(); // lets the level go
    fs::remove(copy);
    const Cache& after = *store.cachesGet(id);
    const auto written = after.levels.find(level);
    const std::size_t changed =
        sourcesChanged(before, written == after.levels.end() ? classification::Mapping::Relation()
                                                             : written->second.sourceToClassified);
    context.out << "edited " << shown << ": " << changed << (changed == 1 ? " source id" : " source ids")
                << " changed (" << pathText(file) << ")\n";
    return iDoneStatus(warnings);
}

} // namespace vyr::tool
