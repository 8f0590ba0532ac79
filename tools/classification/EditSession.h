#pragma once

// The one prelude of every command that edits a level.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "tools/classification/Command.h"
#include "tools/classification/Warning.h"

namespace vyr::tool {

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
    // As boOpen, for an edit of one source id: the write access reads and
    // writes only that source id (AdminWrapper::sourceWriteAccessGet), and
    // `cache` is its own, which outlives the write-back.
    [[nodiscard]] bool boOpenSource(const std::string& source);
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
    const Cache* cache = nullptr; // set by boOpen or boOpenSource
    std::vector<Warning> warnings; // about the id's other level files

private:
    // The second half of boOpen, once the access and `cache` are set.
    [[nodiscard]] bool boOwnFileReads(std::string_view notOver);
};

} // namespace vyr::tool
