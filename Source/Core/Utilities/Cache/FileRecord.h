#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>

#include "external/platform/FileStamp.h"

namespace vyr::utilities {

// File times as the store records them: 100 ns ticks since 1601-01-01 UTC,
// so that every real file time of today is positive and 0 can mean "never
// read". kFileTimeUnknown stands for a time that could not be read.
inline constexpr std::int64_t kFileTimeUnknown = std::numeric_limits<std::int64_t>::min();

// The status stamp of the file at the path (following links); false when
// nothing is there or its status cannot be read.
[[nodiscard]] bool boFileStampGet(const std::filesystem::path& file, platform::FileStamp& stamp) noexcept;

// The file of one cached item at one level, and what the store knows of the
// version it last read or wrote there.
struct FileRecord {
    // Empty until the item's path at the level is first computed, and for
    // good when the item's id cannot name a file inside the level folder.
    std::filesystem::path filePath;
    // The file's last-write time as of the store's last successful read or
    // write of it; 0 when never read or written, or reset; kFileTimeUnknown
    // when the time was not readable.
    std::int64_t lastWrite = 0;
    // The level folder that filePath lies in. Nothing below it is followed
    // as a link when the file is locked, written or created.
    std::filesystem::path levelFolder;
    // Size, identity and content hash of that same version. With lastWrite
    // they tell whether the file at the path is still the one the store
    // knows; a reset of lastWrite makes every comparison fail.
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t contentHash = 0;
    // The status change time of that version, which no user can set back.
    std::int64_t changeTime = 0;

    // Remembers the version just read or written.
    void vKnownSet(const platform::FileStamp& stamp, std::uint64_t hash) noexcept {
        lastWrite = stamp.lastWrite;
        size = stamp.size;
        device = stamp.device;
        inode = stamp.inode;
        contentHash = hash;
        changeTime = stamp.changeTime;
    }

    // Whether the status shows the version last read or written: same times,
    // size and identity. Never true after a reset or an unreadable time.
    [[nodiscard]] bool boKnownStamp(const platform::FileStamp& stamp) const noexcept {
        return lastWrite != 0 && lastWrite != kFileTimeUnknown && stamp.lastWrite == lastWrite &&
               stamp.changeTime == changeTime && stamp.size == size && stamp.device == device && stamp.inode == inode;
    }

    // The same, comparing the content as well where it is known (a file
    // system that keeps no status change time would show a rewrite that
    // restores the size and time only there). A version read for a query is
    // not hashed (kContentUnknown): its change time tells.
    [[nodiscard]] bool boKnownContent(const platform::FileStamp& stamp, std::uint64_t hash) const noexcept {
        return boKnownStamp(stamp) && (contentHash == kContentUnknown || hash == contentHash);
    }

    static constexpr std::uint64_t kContentUnknown = 0;
};

// Sets lastWrite of the record at the level (created if absent) to the
// last-write time of its file, or to kFileTimeUnknown, and the size and
// identity to the file's. The content is not read, so the record no longer
// claims to know it: a lock compares the content and reads the file.
template <class Level>
void vLastWriteUpdate(std::map<Level, FileRecord>& records, const Level& level) {
    FileRecord& record = records[level];
    platform::FileStamp stamp;
    if (!boFileStampGet(record.filePath, stamp)) {
        record.lastWrite = kFileTimeUnknown;
        return;
    }
    record.vKnownSet(stamp, 0);
}

} // namespace vyr::utilities
