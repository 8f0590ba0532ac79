#pragma once

// The one prelude of every command that edits a level: open the store for
// the edit, lock the level or say why not, write it back; and how the tool
// tells why a store operation failed.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "tools/classification/CommandSupport.h"

namespace vyr::tool {

// Why a store operation failed, in the store's words: what failed, then
// its reason when it has one; empty when the value holds no failure.
[[nodiscard]] std::string failureText(const classification::Failure& failure);
// A classification run, which writes through its own write access inside
// the module, where the tool cannot see its failure value: the first
// assertion record that the run added, if any.
[[nodiscard]] std::optional<std::string> runFailureGet(const std::function<void()>& run);

// One edit of one classification at one level, from opening the store to
// letting the level go. Owns the write access; points into the store (the
// cache lives as long as the store). One thread.
class EditSession {
public:
    EditSession(const Context& context, std::string id, Level level);

    // Opens the store for the edit: the id must have a level that reads and
    // the level's own file must read (or be missing), else the line says why,
    // ending with `notOver` for a level file that does not read. Prints the
    // warnings about the other files. kExitSuccess, or the failure status.
    [[nodiscard]] int iOpen(std::string_view notOver = "not writing over it");
    // Locks the level (the file is read again under the lock), or says why
    // not. kExitSuccess, or kExitFailed.
    [[nodiscard]] int iLock();
    // Writes the locked level back now and lets it go; says why not.
    // kExitSuccess, or kExitFailed. `after` ends the failure line.
    [[nodiscard]] int iWriteBack(std::string_view after = "");

    const Context& context;
    const std::string id;
    const Level level;
    const std::filesystem::path file;
    AdminWrapper store;
    std::optional<classification::WriteAccess> access;
    const Cache* cache = nullptr; // set by iOpen
    std::vector<Warning> warnings; // about the id's other level files
};

} // namespace vyr::tool
