#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::cache {

// What kind of failure an operation of the store met: the value a caller
// switches on. The values are fixed (the C face and the managed bridge carry
// the same numbers); new kinds are only ever appended.
enum class FailureKind : std::int32_t {
    None = 0,           // the operation succeeded
    Busy = 1,           // another holder kept the level's lock for the whole wait
    Link = 2,           // the path, or a folder below the level folder, is a symbolic link or leaves it
    NotRegularFile = 3, // what stands at the level path (or at its lock file) is not a regular file
    SeveralLinks = 4,   // the level file has more than one hard link
    NotWellFormed = 5,  // a document does not read as a level file (`sReason`: line and column)
    NoFile = 6,         // the level has no file: no folder, an id that names no file inside it, or a
                        // missing file that could not be made
    CannotStore = 7,    // text the level file format cannot hold
    KeepsChanging = 8,  // another writer kept changing the file while it was written back
    NotLocked = 9,      // the level is not locked by this write access (or the access was moved from)
    NoLowerLevel = 10,  // no cached level to make the missing level file from
    Exists = 11,        // a classification is already there
    SystemError = 12,   // a call of the system failed; `error` is its error number
    IdTooLong = 13,     // the id's level file, or the temporary file it is written from, would have a
                        // name longer than the level folder's file system allows
    OtherSource = 14,   // the edit reaches a source id that a one-source write access does not hold
};

// Why an operation of the store failed, as a value that a host reads: the
// kind, the level and its level file, what failed, and the reason. `kind`
// is what a caller decides on; the texts are for people: `sWhat` is the
// message of the assertion record that reports the failure, without the
// system's reason ("Level file could not be written back"); `error` is the
// system's error number (set for SystemError only) and `sReason` its text
// ("no space left on device"), or why a document does not read, with its
// line and column. When one failure leads to others, the first, its cause,
// is kept. Every field is empty (kind None, boFailed() false) after an
// operation that succeeded.
//
// How a failure reaches a caller, one way per object: a write access keeps
// the failure of its last operation (failureGet); the admin, shared by all
// threads, keeps none and gives it through the Failure parameter of the
// operation that failed. Assertion records report the same failures to the
// diagnostics sink for people; no caller learns a failure from them.
// A plain value; thread-compatible.
struct Failure {
    using Kind = FailureKind;

    [[nodiscard]] bool boFailed() const noexcept { return kind != Kind::None; }

    Kind kind = Kind::None;
    Level level = Sys;
    std::filesystem::path file;
    std::string sWhat;
    int error = 0;
    std::string sReason;
};

} // namespace vyr::cache
