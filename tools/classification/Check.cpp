// `check`: every level file read as the store reads it, the files the
// store will not lock for an edit, and what does not belong: missing level
// folders, mapping files where the store never reads, temporary files that
// a stopped writer left, and level folders whose file system does not share
// locks between machines.

#include <strings.h>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "external/directories/Directories.h"
#include "external/platform/FileSystemKind.h"
#include "tools/classification/Tool.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderMissing = "the level folder does not exist";

// Mapping files below the folders that the directory service names for a
// level (the system folder, each shared folder, the user folder), in places
// where the store never reads: any level file name in a folder named like
// a level folder, and any other file that reads as a mapping. Looks three
// folders deep and does not follow links.
void vMisplacedFilesAdd(const LevelFolders& folders, std::vector<Warning>& warnings) {
    const DirectoriesInterface& directories = Directories::getInstance();
    std::vector<std::pair<Level, fs::path>> roots{{cache::Sys, directories.sysDirectoryGet()}};
    for (const fs::path& shared : directories.sharedDirectoriesGet()) {
        roots.emplace_back(cache::Shared, shared);
    }
    roots.emplace_back(cache::User, directories.userDirectoryGet());
    std::set<fs::path> seen;
    for (const auto& [level, root] : roots) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it.depth() >= 3) {
                it.disable_recursion_pending();
            }
            const fs::path& path = it->path();
            std::error_code statusError;
            const std::optional<cache::ParsedFileName> name = cache::parseFileName(path.filename().string());
            if (!name || name->type != cache::FileType::Level || !it->is_regular_file(statusError) ||
                it->is_symlink(statusError) || !seen.insert(fs::weakly_canonical(path, statusError)).second ||
                std::any_of(folders.begin(), folders.end(), [&](const auto& folder) {
                    return fs::equivalent(folder.second, path.parent_path(), statusError);
                })) {
                continue;
            }
            // A folder named like the level's own folder, in any case.
            if (::strcasecmp(path.parent_path().filename().c_str(), folders.at(level).filename().c_str()) == 0 ||
                sReadProblemGet(path).empty()) {
                warnings.push_back({level, path,
                                    "a mapping file where the store never reads; level " +
                                        std::string(levelName(level)) + " reads " + pathText(folders.at(level))});
            }
        }
    }
}

// The record of one checked entry, as `check --json` prints it and the
// text output reads it: its path, level and id, whether it reads, and if
// not, why ("error").
Json fileRecord(Level level, const fs::path& path, const std::string& id, const std::string& error) {
    Json file = {{"path", pathText(path)}, {"level", levelName(level)}, {"id", id}, {"ok", error.empty()}};
    if (!error.empty()) {
        file["error"] = error;
    }
    return file;
}

// Adds why the store will not lock a level file that reads ("cannot_edit"),
// and the command that mends it ("fix"), to its record.
void vEditProblemAdd(const fs::path& path, Json& file) {
    std::error_code error;
    const std::string quoted = shellWord(pathText(path));
    const AdminWrapper::LockRefusal refusal = AdminWrapper::lockRefusalGet(path);
    if (refusal == AdminWrapper::LockRefusal::SymbolicLink) {
        const fs::path target = fs::canonical(path, error);
        file["cannot_edit"] = "it is a symbolic link (to " + pathText(target) +
                              "), and the store never writes through a link";
        file["fix"] = "replace the link with a copy of its target: cp --remove-destination -- " +
                      shellWord(pathText(target)) + " " + quoted;
    } else if (refusal == AdminWrapper::LockRefusal::SeveralNames) {
        const std::string own = shellWord(pathText(path) + ".own");
        file["cannot_edit"] = "it has " + std::to_string(fs::hard_link_count(path, error)) +
                              " hard links, and the store never writes a file that other names share";
        file["fix"] = "give it a copy of its own: cp -p -- " + quoted + " " + own + " && mv -- " + own + " " + quoted;
    }
}

// Reads every entry of the level folders, and finds what does not belong:
// level folders that are missing or no folder, misplaced mapping files,
// temporary files that a writer of the store stopped before it renamed them
// (every writer holds the level's lock while its temporary file exists, and
// the next lock removes what is left), and level folders whose file system
// keeps record locks on this machine, where writers on two machines can
// both lock a level file.
void vFindingsGet(const Context& context, Json& files, std::vector<Warning>& warnings) {
    std::vector<Warning> stale;
    std::vector<Warning> unshared;
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        if (boAnythingAt(folder) && !fs::is_directory(folder, error)) {
            files.push_back(fileRecord(level, folder, "", "the level folder is not a folder"));
        } else if (!boAnythingAt(folder) && !context.args.boAllowMissing) {
            warnings.push_back({level, folder, kFolderMissing});
        }
        std::map<fs::path, std::string> temporaries; // by path: the id
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::optional<cache::ParsedFileName> name = cache::parseFileName(it->path().filename().string());
            if (name && name->type == cache::FileType::Temporary) {
                temporaries.emplace(it->path(), name->id);
            }
        }
        for (const auto& [path, id] : temporaries) {
            stale.push_back({level, path,
                             "a temporary file of " + cache::levelFileName(id) +
                                 " that a stopped writer left (unless an edit runs now); fix: " +
                                 (level != cache::Sys ? "the next edit of " + idText(id) + " at level " +
                                                            std::string(levelName(level)) + " removes it, or "
                                                      : std::string()) +
                                 "rm -- " + shellWord(pathText(path))});
        }
        platform::FileSystemKind kind;
        if (platform::fileSystemKindGet(folder, kind) == 0 && !kind.boLocksShared) {
            unshared.push_back({level, folder,
                                "the file system does not share locks between machines (" + kind.lockReason +
                                    "): writers on two machines can both lock a level file here and overwrite "
                                    "each other's edits"});
        }
    }
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        Json file = fileRecord(entry.level, entry.path, entry.id,
                               entry.boIdValid ? sReadProblemGet(entry.path)
                                               : "the file name is not valid UTF-8, so it names no classification id");
        // The sys level is read-only: nothing edits its files.
        if (!file.contains("error") && entry.level != cache::Sys) {
            vEditProblemAdd(entry.path, file);
        }
        files.push_back(std::move(file));
    }
    vMisplacedFilesAdd(context.folders, warnings);
    warnings.insert(warnings.end(), stale.begin(), stale.end());
    warnings.insert(warnings.end(), unshared.begin(), unshared.end());
}

int iCheckRun(const Context& context) {
    Json files = Json::array();
    std::vector<Warning> found;
    vFindingsGet(context, files, found);
    const std::size_t checked = files.size();
    const auto count = [&](const char* member) {
        return static_cast<std::size_t>(std::count_if(files.begin(), files.end(), [&](const Json& file) {
            return file.contains(member);
        }));
    };
    const std::size_t failed = count("error");
    const std::size_t stuck = count("cannot_edit");
    // "2 do not read, 1 cannot be edited"; the error line says "of N files" after the first count.
    std::string counts;
    for (const auto& [n, verb] : {std::pair(failed, failed == 1 ? " does not read" : " do not read"),
                                  std::pair(stuck, " cannot be edited")}) {
        counts += n == 0 ? "" : (counts.empty() ? "" : ", ") + std::to_string(n) + verb;
    }
    const std::string warnings =
        found.empty() ? "" : "; " + std::to_string(found.size()) + (found.size() == 1 ? " warning" : " warnings");
    if (context.args.boJson) {
        vJsonWrite(context.out, {{"files", files},
                                 {"checked", checked},
                                 {"failed", failed},
                                 {"cannot_edit", stuck},
                                 {"warnings", warningArray(found)}});
    } else {
        const auto text = [](const Json& file, const char* member) { return file[member].get<std::string>(); };
        for (const Json& file : files) {
            if (file.contains("error")) {
                context.out << text(file, "path") << ": " << text(file, "error") << '\n';
            } else if (file.contains("cannot_edit")) {
                context.out << text(file, "path") << ": cannot be edited: " << text(file, "cannot_edit")
                            << "\n  fix: " << text(file, "fix") << '\n';
            }
        }
        for (const Warning& warning : found) {
            context.out << "warning: " << pathText(warning.path) << ": " << warning.message << '\n';
        }
        context.out << "checked " << checked << (checked == 1 ? " file: " : " files: ")
                    << (counts.empty() ? "all read" : counts) << warnings << '\n';
    }
    if (!counts.empty()) {
        counts.insert(counts.find(' '), " of " + std::to_string(checked) + " files");
        context.err << "vyr-classification check: " << counts << warnings << '\n';
        return kExitFailed;
    }
    if (!found.empty()) {
        const bool boFolderMissing = std::any_of(found.begin(), found.end(),
                                                 [](const Warning& warning) { return warning.message == kFolderMissing; });
        context.err << "vyr-classification check: " << warnings.substr(2)
                    << (boFolderMissing ? " (--allow-missing passes over missing level folders)" : "") << '\n';
        return kExitWarned;
    }
    return kExitSuccess;
}

void vCheckDeclare(CLI::App& app, Args& args, std::vector<IdArg>&) {
    app.add_flag("--json", args.boJson, "Print JSON");
    app.add_flag("--allow-missing", args.boAllowMissing, "A level folder that does not exist is no warning");
    vFooterSet(app, {"vyr-classification --root examples/data check"},
               "\n\nA file at level shared or user that reads but that the store will not lock for an\n"
               "edit (a symbolic link, a file with several hard links) is reported with the command\n"
               "that mends it. A level folder whose file system does not share locks between\n"
               "machines (CIFS mounted with nobrl, NFS with nolock or local_lock, many FUSE file\n"
               "systems) is a warning. Status 1 when a file does not read or cannot be edited, 3 when\n"
               "there are only warnings.",
               false);
}

} // namespace

const Command kCheckCommand{"check",
                            "Read every mapping file; report those that do not read, missing level folders "
                            "and mapping files where the store never reads",
                            vCheckDeclare, iCheckRun};

} // namespace vyr::tool
