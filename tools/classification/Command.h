#pragma once

// How a command of vyr-classification is declared and run: the values of
// the command line, the context a command runs in, the command table, the
// exit statuses, and the helpers that declare ids, texts and levels on a
// subcommand, each checked by the store's own rule.

#include <array>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "tools/classification/Levels.h"

namespace vyr::tool {

using bridge::classification::AdminWrapper;
using Cache = AdminWrapper::Cache;
using cache::Level;
using LevelFolders = std::map<Level, std::filesystem::path>;

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
// A LEVEL option: any level, or only the levels the tool writes (Levels.h).
CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable);
// The footer: "Example:" with the lines, then the text, then (for commands
// that take ids) how to pass an id that begins with '-'.
void vFooterSet(CLI::App& app, std::initializer_list<std::string_view> examples, std::string_view text = "",
                bool boDashNote = true);

} // namespace vyr::tool
