// `edit`: a level file edited by hand, under the level's lock. The file is
// copied to a private temporary file, the person's editor runs on the copy,
// and the copy reaches the level file only when it reads as the store reads
// a level file; until then the level file keeps what it had.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <locale>

#include "tools/classification/Tool.h"

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
    std::string stem = id.substr(0, 64);
    std::replace_if(stem.begin(), stem.end(), [](char c) {
        return !std::isalnum(c, std::locale::classic()) && c != '-' && c != '_' && c != '.';
    }, '_');
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
// std::system ignores the terminal's interrupt and quit keys meanwhile, as a
// shell does for a foreground job, and the editor gets them. Returns the
// editor's exit status, or -1 when it did not start or end normally.
int iEditorRun(const std::string& editor, const fs::path& file) {
    const int status = std::system((editor + " " + shellWord(pathText(file))).c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How many source ids differ between the two relations: listed in one
// only, or with another set.
std::size_t sourcesChanged(const classification::Mapping::Relation& before,
                           const classification::Mapping::Relation& after) {
    std::size_t changed = 0;
    for (const auto& [source, classified] : before) {
        const auto found = after.find(source);
        changed += found == after.end() || found->second != classified ? 1 : 0;
    }
    for (const auto& entry : after) {
        changed += before.count(entry.first) == 0 ? 1 : 0;
    }
    return changed;
}

// The level's own relation in the cache; empty when the level has none.
classification::Mapping::Relation relationOf(const Cache& cache, Level level) {
    const auto present = cache.levels.find(level);
    return present == cache.levels.end() ? classification::Mapping::Relation() : present->second.sourceToClassified;
}

// Makes the copy, then runs the editor on it until it gives a copy that the
// store takes (the level then holds it), the person discards, or the copy is
// unchanged. kExitSuccess with `edited` true when the level holds the new
// copy; otherwise the level holds what it had, and the caller hands it back.
int iEditLoop(EditSession& session, const std::string& original, fs::path& copy, bool& boEdited) {
    const Context& context = session.context;
    const std::string editor = editorGet();
    std::string edited;
    std::string reason;
    copy = copyMake(session.id, session.level, original, reason);
    if (copy.empty()) {
        return context.iFail(reason + "; nothing changed");
    }
    while (true) {
        const int status = iEditorRun(editor, copy);
        if (status != 0) {
            return context.iFail("the editor (" + editor + ") ended with " +
                                 (status < 0 ? std::string("no status") : "status " + std::to_string(status)) +
                                 "; nothing changed; the copy stays in " + pathText(copy));
        }
        if (!boFileBytesGet(copy, edited, reason)) {
            return context.iFail("the copy " + pathText(copy) + " " + reason + "; nothing changed");
        }
        if (edited == original) {
            return kExitSuccess;
        }
        if (session.access->boLevelReplace(session.level, edited, reason)) {
            boEdited = true;
            return kExitSuccess;
        }
        // Nothing of it is taken: the level file keeps what it had.
        context.err << "vyr-classification edit: the edited copy does not read: " << reason << '\n';
        // No answer at all (end of input) discards.
        std::string answer;
        bool boAnswered = false;
        do {
            context.err << "Edit it again (e) or discard the changes (d)? [e] " << std::flush;
            boAnswered = static_cast<bool>(std::getline(std::cin, answer));
        } while (boAnswered && answer != "" && answer != "e" && answer != "d");
        if (!boAnswered || answer == "d") {
            return context.iFail("discarded; nothing changed; the copy stays in " + pathText(copy));
        }
    }
}

int iHandEditRun(const Context& context) {
    if (::isatty(STDIN_FILENO) != 1) {
        context.err << "vyr-classification edit: standard input is not a terminal; edit runs an editor and may ask a "
                       "question (scripts use export and import instead); nothing changed\n";
        return kExitUsage;
    }
    EditSession session(context, *context.args.id, context.level());
    const std::string shown = displayText(session.id) + " at level " + std::string(levelName(session.level));
    std::string original;
    // The lock is held until the copy is taken or dropped: other writers wait for it.
    if (const int status = session.iOpen("the store will not take it over: mend it in place, then run check");
        status != kExitSuccess) {
        return status;
    }
    if (const int status = session.iLock(); status != kExitSuccess) {
        return status;
    }
    if (!session.access->boLevelDocumentGet(session.level, original)) {
        return context.iFail("cannot read " + pathText(session.file) + "; nothing changed");
    }
    const classification::Mapping::Relation before = relationOf(*session.cache, session.level);
    fs::path copy;
    bool boEdited = false;
    const int status = iEditLoop(session, original, copy, boEdited);
    if (!boEdited) {
        // The level file handed back as it was: the write access then leaves it untouched.
        std::string ignored;
        (void)session.access->boLevelReplace(session.level, original, ignored);
    }
    if (status != kExitSuccess) {
        return status;
    }
    if (!boEdited) {
        fs::remove(copy);
        context.out << "the copy of " << shown << " was not changed; nothing changed (" << pathText(session.file)
                    << ")\n";
        return iDoneStatus(session.warnings);
    }
    if (const int failed = session.iWriteBack("; the copy stays in " + pathText(copy)); failed != kExitSuccess) {
        return failed;
    }
    fs::remove(copy);
    const std::size_t changed = sourcesChanged(before, relationOf(*session.store.cachesGet(session.id), session.level));
    context.out << "edited " << shown << ": " << changed << (changed == 1 ? " source id" : " source ids")
                << " changed (" << pathText(session.file) << ")\n";
    return iDoneStatus(session.warnings);
}

void vHandEditDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id", &args.level)->required();
    levelAdd(app, "--level", args.level, "The level whose file is edited", true)->required();
    vFooterSet(app,
               {"vyr-classification edit materials --level user",
                "EDITOR=\"${EDITOR:-vi}\" vyr-classification edit materials --level shared"},
               "\n\nThe file is copied to a temporary file and $VISUAL, else $EDITOR, else vi runs on the\n"
               "copy while the level stays locked: other edits of the level wait (a few seconds) or are\n"
               "refused, never lost. When the editor ends, the copy is read as the store reads a level\n"
               "file; one that does not read is named with its line and column, and you choose to edit\n"
               "it again or to discard it. Nothing that does not read is ever written. Standard input\n"
               "must be a terminal; scripts use export and import.");
}

} // namespace

const Command kHandEditCommand{
    "edit", "Edit a level file by hand in $VISUAL or $EDITOR, under the level's lock; only what reads is written",
    vHandEditDeclare, iHandEditRun};

} // namespace vyr::tool
