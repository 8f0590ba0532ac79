#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>
#include <utility>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Source/Core/Utilities/Cache/Level.h"

namespace vyr::cache {

// The generic half of a write access to one cached item: the lock table of
// open level files. Points at the item's cache and file records in the admin
// without owning them (both live as long as the admin); owns one open stream
// per locked level. Thread-compatible: one thread at a time, and not while
// another thread runs admin operations on the same item. Movable, never
// copied.
template <class Cache>
class CacheWriteAccess {
public:
    using Records = std::map<Level, utilities::FileRecord>;

    CacheWriteAccess(Cache* cachePointer, Records* records) noexcept : cache(cachePointer), fileRecords(records) {}
    CacheWriteAccess(CacheWriteAccess&& other) noexcept
        : cache(std::exchange(other.cache, nullptr)), fileRecords(std::exchange(other.fileRecords, nullptr)),
          lockedFiles(std::exchange(other.lockedFiles, {})) {}
    CacheWriteAccess(const CacheWriteAccess&) = delete;
    CacheWriteAccess& operator=(const CacheWriteAccess&) = delete;
    CacheWriteAccess& operator=(CacheWriteAccess&&) = delete;

    // Closes every locked stream; writes nothing back.
    virtual ~CacheWriteAccess() = default;

    // Makes the level's file when it is missing.
    virtual void vCreateFileIfNotAtLevel(const Level& level) = 0;
    // Whether this access only reads. Nothing in the store asks.
    [[nodiscard]] virtual bool boIsReadOnly() const = 0;

    // Locks the level: opens its file for reading and writing, in binary
    // mode and without truncating it, and keeps the stream until this object
    // is destroyed. A missing file is made first. A level already locked
    // keeps its first stream. False when the file cannot be opened, is not a
    // regular file, or the item has no file at the level; then nothing is
    // recorded.
    [[nodiscard]] bool boLockFile(const Level& level) {
        if (boIsLocked(level)) {
            return true;
        }
        if (fileRecords == nullptr) {
            return false;
        }
        const std::filesystem::path filePath = (*fileRecords)[level].filePath;
        if (filePath.empty()) {
            return false;
        }
        std::error_code error;
        if (!std::filesystem::exists(filePath, error)) {
            vCreateFileIfNotAtLevel(level);
        }
        // Only a file is locked: a pipe or a device would block or swallow
        // the write-back.
        if (!std::filesystem::is_regular_file(filePath, error)) {
            return false;
        }
        auto stream = std::make_unique<std::fstream>(filePath, std::ios::in | std::ios::out | std::ios::binary);
        if (!stream->is_open()) {
            return false;
        }
        lockedFiles.insert_or_assign(level, std::move(stream));
        return true;
    }

protected:
    // A level counts as locked when its entry holds a stream.
    [[nodiscard]] bool boIsLocked(const Level& level) const {
        const auto found = lockedFiles.find(level);
        return found != lockedFiles.end() && found->second != nullptr;
    }

    Cache* cache;
    Records* fileRecords;
    std::map<Level, std::unique_ptr<std::fstream>> lockedFiles;
};

} // namespace vyr::cache
