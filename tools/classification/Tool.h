#pragma once

// What the commands of vyr-classification share besides their declaration
// (Command.h), warnings (Warning.h) and edit prelude (EditSession.h): text
// and JSON for a person, the level files as the store sees them, and the
// store's failures in words.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "tools/classification/Command.h"
#include "tools/classification/EditSession.h"
#include "tools/classification/Levels.h"
#include "tools/classification/Warning.h"

namespace vyr::tool {

// Objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

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

// Why a store operation failed, in the store's words, for the end of a
// line: ": " and what failed, then its reason when it has one. When the
// value holds no failure, ": " and `none`, or nothing for an empty one.
[[nodiscard]] std::string failureText(const classification::Failure& failure, std::string_view none = "");

} // namespace vyr::tool
