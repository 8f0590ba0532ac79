#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "tools/classification/LevelFolders.h"

namespace vyr::tool {

// Exit statuses of the tool, so that a script can tell them apart:
// done; failed (nothing was changed, or `check` found a file that does not
// read or cannot be edited); bad usage (nothing was read or written); done,
// with warnings about other files (each one line on standard error).
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWarned = 3;

// What every command works with: the level folders as the store sees them
// and the two output streams. Points at the streams without owning them.
struct Context {
    LevelFolders folders;
    std::ostream& out;
    std::ostream& err;
};

// The arguments of each command, as parsed from the command line. Plain values.
struct ShowOptions {
    std::string id;
    std::optional<std::string> source;
    std::optional<std::string> classified;
    std::optional<Level> level; // one level's own mapping instead of the merged view
    bool boJson = false;
    bool boExport = false; // JSON of the pairs alone, for `import`
};

struct CreateOptions {
    std::string id;
    Level level = cache::User;
    std::string sText2;
    std::string sText3;
    std::string sText4;
    std::string sText5;
    bool boFlag1 = false;
    bool boFlag2 = false;
};

enum class Edit { Add, Set, Remove, RemoveSource, RemoveClassified, Inherit };

struct EditOptions {
    Edit edit = Edit::Add;
    std::string command; // as the person typed it, for the error lines
    std::string id;
    std::string source;     // all but RemoveClassified
    std::string classified; // Add, Set, Remove, RemoveClassified
    Level level = cache::User;
};

struct ImportOptions {
    std::string id;
    Level level = cache::User;
    bool boReplace = false;
    std::string input = "-"; // a file, or "-" for standard input
};

// The file name of the sample module, installed beside the bridge library.
#ifndef VYR_SAMPLE_MODULE_FILE
#define VYR_SAMPLE_MODULE_FILE "libVyrSampleClassification.so"
#endif
inline constexpr const char* kSampleModuleFile = VYR_SAMPLE_MODULE_FILE;

struct ClassifyOptions {
    std::string mapping;
    std::string filter;
    std::string update;
    // The module library's file (a path, or a bare file name looked up as
    // the runtime looks up its default); empty: the runtime's own choice.
    std::string module;
    Level in = cache::User;
    Level out = cache::User;
};

// The commands. Each returns the tool's exit status and reports a failure as
// one line on the error stream. Commands that read a classification also
// print one warning line for each of its level files that exists but does
// not read, and then end with kExitWarned after doing what they could. The
// commands that write treat every assertion record of the store's write
// access as a failure; they need the assertion sink enabled. An edit that
// would change nothing says so, locks nothing and writes nothing.
int iFoldersRun(const Context& context);
int iListRun(const Context& context, bool boJson);
// Also `export` (options.boExport).
int iShowRun(const Context& context, const ShowOptions& options);
// Every source id that a level decides over a lower level that lists it
// too: of the id, or of every classification found in the level folders.
int iOverridesRun(const Context& context, const std::optional<std::string>& id, bool boJson);
// Each level file of the id as it is on disk, lowest level first.
int iCatRun(const Context& context, const std::string& id);
// in: where "-" reads from.
int iImportRun(const Context& context, const ImportOptions& options, std::istream& in);
// The level file in the person's editor, under the level's lock; refused
// (kExitUsage) unless standard input is a terminal (boTerminal). in: where
// the answer to "edit again or discard" comes from.
int iHandEditRun(const Context& context, const std::string& id, Level level, bool boTerminal, std::istream& in);
// boAllowMissing: a level folder that does not exist is no warning.
int iCheckRun(const Context& context, bool boJson, bool boAllowMissing);
int iCreateRun(const Context& context, const CreateOptions& options);
int iEditRun(const Context& context, const EditOptions& options);
// Runs the module the runtime finds, or options.module, and names the file
// it ran. terminal: where to draw the progress bar, or null for none.
int iClassifyRun(const Context& context, const ClassifyOptions& options, std::ostream* terminal);

} // namespace vyr::tool
