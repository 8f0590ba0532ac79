#pragma once

// What the tool's commands share: text for a person, the warning lines, the JSON writer, the
// store's level cache of an id and what it tells about the deciding level,
// and a read of a file's bytes that never blocks.

#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "tools/classification/Commands.h"

namespace vyr::tool {

// Text of the store as the tool's text output shows it, one item per line:
// tabs, line ends and other control characters (C0, DEL, C1) are written as
// escapes (\t, \n, \r, \xHH, \uHHHH), so that an id never breaks the
// one-line-per-pair layout. The JSON output carries the text exactly instead.
[[nodiscard]] std::string displayText(std::string_view text);

// The number of terminal columns the UTF-8 text takes: East Asian wide and
// full-width characters count two, combining marks none. A byte that is not
// part of valid UTF-8 counts one.
[[nodiscard]] std::size_t displayWidth(std::string_view text);

// Writes the text and pads it with spaces to the width in columns.
void vPadded(std::ostream& out, std::string_view text, std::size_t width);

using bridge::classification::AdminWrapper;
using Cache = AdminWrapper::Cache;
// Objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

// Writes one JSON document, indented by two spaces. Text that is not valid
// UTF-8 has each offending byte replaced by U+FFFD, so the output always parses.
void vJsonWrite(std::ostream& out, const Json& document);

[[nodiscard]] Json levelArray(const std::vector<Level>& levels);
// 'id', escaped for one line.
[[nodiscard]] std::string idText(std::string_view id);
[[nodiscard]] std::string levelList(const std::vector<Level>& levels, std::string_view separator);
// The levels of the cache that read, lowest first.
[[nodiscard]] std::vector<Level> levelsOf(const Cache& cache);
// "a, b" for a set of ids, escaped; "(none)" for a null or empty set.
[[nodiscard]] std::string classifiedList(const std::set<std::string>* classified);

// The store's level cache of the id, or null when no level of it reads.
// Asks boClassificationExists first: cachesGet inserts an empty entry for an
// unknown id. The pointer lives as long as the store.
[[nodiscard]] const Cache* pReadableCacheGet(AdminWrapper& store, std::string_view id);

// Why the id has no readable level, for a one-line error.
[[nodiscard]] std::string sMissingReason(const Context& context, std::string_view id);

// Something a person should know that did not stop the command: a level
// file that does not read, a level folder that does not exist, a mapping
// file where the store never looks. A plain value.
struct Warning {
    Level level;
    std::filesystem::path path;
    std::string message;
};

// One warning for each level file of the id that exists but that the store
// did not read (cache null: none read).
[[nodiscard]] std::vector<Warning> unreadLevelsGet(const Context& context, std::string_view id, const Cache* cache);
// One line each on the error stream.
void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings);
[[nodiscard]] Json warningArray(const std::vector<Warning>& warnings);
// kExitSuccess, or kExitWarned when there are warnings.
[[nodiscard]] int iDoneStatus(const std::vector<Warning>& warnings);

// "bolt -> iron, steel (decided by user)", the source id in the merged view.
[[nodiscard]] std::string sMergedLine(const Cache& cache, const std::string& source);

// The level's set of the source id, or null when the level does not list it
// (or is not in the cache).
[[nodiscard]] const std::set<std::string>* pLevelSetGet(const Cache& cache, Level level, const std::string& source);

// The text as one shell word: in single quotes, each quote inside written as '\''.
[[nodiscard]] std::string shellWord(const std::string& text);

// Reads the whole file, which must be a regular file: a pipe or a device is
// never waited on. Follows links. Empty reason on success.
[[nodiscard]] bool boFileBytesGet(const std::filesystem::path& path, std::string& bytes, std::string& reason);

} // namespace vyr::tool
