#pragma once

// What the commands of vyr-classification share: the command table and how
// a command declares its options, the level folders and their files, text
// and JSON for a person, the warning lines, and the one prelude of every
// command that edits a level (EditSession).

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

namespace vyr::tool {

using bridge::classification::AdminWrapper;
using Cache = AdminWrapper::Cache;
using cache::Level;
using LevelFolders = std::map<Level, std::filesystem::path>;
// Objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

// Exit statuses, so that a script can tell them apart: done; failed
// (nothing was changed, or `check` found a file that does not read or
// cannot be edited); bad usage (nothing was read or written); done, with
// warnings (each one line on standard error); not listed (a source id that
// the command needs is listed at no level; nothing was changed).
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWarned = 3;
inline constexpr int kExitNotListed = 4;

// The values of the command line, each bound to the option of the same
// meaning by the commands that declare one. A plain value.
struct Args {
    std::optional<std::string> id;         // ID (MAPPING for classify)
    std::optional<std::string> source;     // SOURCE, or show's --source
    std::optional<std::string> classified; // CLASSIFIED, or show's --classified
    std::optional<std::string> level;      // --level (classify: --out)
    std::optional<std::string> in;         // classify --in
    std::optional<std::string> filter;     // classify --filter
    std::optional<std::string> update;     // classify --update
    std::string module;                    // classify --module: empty, the runtime's own choice
    std::string input = "-";               // import FILE
    std::array<std::string, 4> texts;      // create --text2 .. --text5
    bool boFlag1 = false;
    bool boFlag2 = false;
    bool boJson = false;
    bool boReplace = false;
    bool boAllowMissing = false;
};

// An id that the chosen command takes, checked before anything is read or
// written: `written` points at the level the command writes it at, or is
// null for an id that is only read. Points into Args.
struct IdArg {
    const std::optional<std::string>* id;
    const std::optional<std::string>* written;
};

// What a command runs with: its name, the parsed values, the level folders
// as the store sees them and the two output streams. Points at the values
// and the streams without owning them.
struct Context {
    std::string_view command;
    const Args& args;
    LevelFolders folders;
    std::ostream& out;
    std::ostream& err;

    // One line "vyr-classification COMMAND: MESSAGE" on the error stream;
    // returns kExitFailed.
    int iFail(std::string_view message) const;
    // The id's file at the level, as the store names it.
    [[nodiscard]] std::filesystem::path file(Level level, std::string_view id) const;
    // The level the command names (--level); requires one.
    [[nodiscard]] Level level() const;
};

// One command of the table. declare adds its options to its subcommand and
// lists the ids it takes; run does its work and returns the exit status,
// reporting a failure as one line on the error stream. Commands that read
// a classification also print one warning line for each of its level
// files that exists but does not read, and end with kExitWarned. An edit
// that would change nothing says so, locks nothing and writes nothing.
struct Command {
    const char* name;
    const char* description;
    void (*declare)(CLI::App& app, Args& args, std::vector<IdArg>& ids);
    int (*run)(const Context& context);
};

// The commands, each defined beside its work.
extern const Command kFoldersCommand, kListCommand, kShowCommand, kExportCommand, kOverridesCommand, kCatCommand,
    kImportCommand, kHandEditCommand, kCheckCommand;
// create, the six edits of a pair or source id, classify.
[[nodiscard]] std::vector<Command> editCommands();

// The level names of the command line: sys, shared, user; "system" is read
// as sys too.
[[nodiscard]] std::string_view levelName(Level level) noexcept;
[[nodiscard]] std::optional<Level> levelParse(std::string_view name) noexcept;

// A positional id (or an option, when the name begins with '-'), checked
// by the store's id rule and listed among the command's ids; `written`:
// the level option it is written at, or null.
CLI::Option* idAdd(CLI::App& app, std::vector<IdArg>& ids, const std::string& name, std::optional<std::string>& id,
                   const std::string& description, const std::optional<std::string>* written = nullptr);
// A text that the store must be able to keep (its text rule).
// Text: a std::string or an optional one.
template <class Text>
CLI::Option* textAdd(CLI::App& app, const std::string& name, Text& text, const std::string& description) {
    return app.add_option(name, text, description)->type_name("TEXT")->check(CLI::Validator(
        [](std::string& value) { return AdminWrapper::sTextProblemGet(value); }, ""));
}
// A LEVEL option: any level, or only the writable ones.
CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable);
// The footer: "Example:" with the lines, then the text, then (for commands
// that take ids) how to pass an id that begins with '-'.
void vFooterSet(CLI::App& app, std::initializer_list<std::string_view> examples, std::string_view text = "",
                bool boDashNote = true);

// Text of the store as the tool's text output shows it, one item per line:
// tabs, line ends and other control characters (C0, DEL, C1) are written as
// escapes (\t, \n, \r, \xHH, \uHHHH), so that an id never breaks the
// one-line-per-pair layout. The JSON output carries the text exactly instead.
[[nodiscard]] std::string displayText(std::string_view text);
// The number of terminal columns the UTF-8 text takes: East Asian wide and
// full-width characters count two, combining marks none. A byte that is not
// part of valid UTF-8 counts one.
[[nodiscard]] std::size_t displayWidth(std::string_view text);
// 'id', escaped for one line.
[[nodiscard]] std::string idText(std::string_view id);
// "a, b" for a set of ids, escaped; "(none)" for a null or empty set.
[[nodiscard]] std::string classifiedList(const std::set<std::string>* classified);
// The path as text for a person: its bytes as they are.
[[nodiscard]] std::string pathText(const std::filesystem::path& path);
// The text as one shell word: in single quotes, each quote inside written as '\''.
[[nodiscard]] std::string shellWord(const std::string& text);

// Writes one JSON document, indented by two spaces. Text that is not valid
// UTF-8 has each offending byte replaced by U+FFFD, so the output always
// parses. With `streamed` (the name of a member of the object `document`
// that holds null there), that member's array is written one element at a
// time as `elements` hands them to its writer: the same bytes as the whole
// document, without holding the array.
using JsonElements = std::function<void(const std::function<void(const Json&)>& write)>;
void vJsonWrite(std::ostream& out, const Json& document, std::string_view streamed = {},
                const JsonElements& elements = {});

// Whether anything (a file, a folder, a dangling link) is at the path, or
// may be: a path the file system refuses to look at counts as taken, so
// that nothing is written there on a guess.
[[nodiscard]] bool boAnythingAt(const std::filesystem::path& path);
// Why the file at the path does not read as a level file, or empty.
[[nodiscard]] std::string sReadProblemGet(const std::filesystem::path& path);
// Reads the whole file, which must be a regular file: a pipe or a device is
// never waited on. Follows links. Empty reason on success.
[[nodiscard]] bool boFileBytesGet(const std::filesystem::path& path, std::string& bytes, std::string& reason);

// The store's level cache of the id, or null when no level of it reads.
// Asks boClassificationExists first: cachesGet inserts an empty entry for an
// unknown id. The pointer lives as long as the store.
[[nodiscard]] const Cache* pReadableCacheGet(AdminWrapper& store, std::string_view id);
// Why the id has no readable level, for a one-line error.
[[nodiscard]] std::string sMissingReason(const Context& context, std::string_view id);
// When no level of the cache lists the source id: one line saying so, and
// kExitNotListed; else kExitSuccess. `after` ends the line.
[[nodiscard]] int iSourceListedCheck(const Context& context, const Cache& cache, std::string_view id,
                                     const std::string& source, std::string_view after = "");
// The text as one shell word for a command line to paste: as it is when
// that is safe, else quoted.
[[nodiscard]] std::string commandWord(const std::string& text);
// The level's set of the source id, or null when the level does not list it
// (or is not in the cache).
[[nodiscard]] const std::set<std::string>* pLevelSetGet(const Cache& cache, Level level, const std::string& source);

// Something a person should know that did not stop the command: a level
// file that does not read, a level folder that does not exist, a mapping
// file where the store never looks. A plain value.
struct Warning {
    Level level;
    std::filesystem::path path;
    std::string message;
};

// Adds one warning for each level file of the id that exists but that the
// store did not read (cache null: none read).
void vUnreadLevelsAdd(const Context& context, std::string_view id, const Cache* cache, std::vector<Warning>& warnings);
// One line each on the error stream.
void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings);
// kExitSuccess, or kExitWarned when there are warnings.
[[nodiscard]] int iDoneStatus(const std::vector<Warning>& warnings);

// Why a store operation failed, in the store's words, for the end of a
// line: ": " and what failed, then its reason when it has one. When the
// value holds no failure, ": " and `none`, or nothing for an empty one.
[[nodiscard]] std::string failureText(const classification::Failure& failure, std::string_view none = "");

// One edit of one classification at one level, from opening the store to
// letting the level go. Owns the write access; points into the store (the
// cache lives as long as the store). One thread.
class EditSession {
public:
    EditSession(const Context& context, std::string id, Level level);

    // Opens the store for the edit: the id must have a level that reads and
    // the level's own file must read (or be missing), else the line says why,
    // ending with `notOver` for a level file that does not read. Prints the
    // warnings about the other files. Each step is false when it failed
    // (the command then ends with kExitFailed).
    [[nodiscard]] bool boOpen(std::string_view notOver = "not writing over it");
    // Whether the merged view is made of every level file there, for an
    // edit that takes a starting set from it: else the line names the
    // first level file that does not read, says that `what` would start
    // from a view without it, and `instead` how to proceed.
    [[nodiscard]] bool boMergedViewWhole(std::string_view what, std::string_view instead) const;
    // Locks the level (the file is read again under the lock), or says why not.
    [[nodiscard]] bool boLock();
    // Writes the locked level back now and lets it go, or says why not;
    // `after` ends the failure line.
    [[nodiscard]] bool boWriteBack(std::string_view after = "");

    const Context& context;
    const std::string id;
    const Level level;
    const std::filesystem::path file;
    AdminWrapper store;
    std::optional<classification::WriteAccess> access;
    const Cache* cache = nullptr; // set by boOpen
    std::vector<Warning> warnings; // about the id's other level files
};

} // namespace vyr::tool
