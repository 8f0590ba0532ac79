#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "tools/classification/LevelFolders.h"

namespace vyr::tool {

// Exit statuses of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

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

enum class Edit { Add, Set, Remove, RemoveSource, RemoveClassified };

struct EditOptions {
    Edit edit = Edit::Add;
    std::string id;
    std::string source;     // all but RemoveClassified
    std::string classified; // all but RemoveSource
    Level level = cache::User;
};

struct ClassifyOptions {
    std::string mapping;
    std::string filter;
    std::string update;
    Level in = cache::User;
    Level out = cache::User;
};

// The commands. Each returns the tool's exit status and reports a failure as
// one line on the error stream.
int iFoldersRun(const Context& context);
int iListRun(const Context& context, bool boJson);
int iShowRun(const Context& context, const ShowOptions& options);
int iCheckRun(const Context& context, bool boJson);
int iCreateRun(const Context& context, const CreateOptions& options);
int iEditRun(const Context& context, const EditOptions& options);
// terminal: where to draw the progress bar, or null for none.
int iClassifyRun(const Context& context, const ClassifyOptions& options, std::ostream* terminal);

} // namespace vyr::tool
