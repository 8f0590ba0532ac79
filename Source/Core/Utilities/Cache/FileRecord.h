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

// Our clock now (the real-time clock) as ticks, or kFileTimeUnknown.
[[nodiscard]] std::int64_t clockTicksGet() noexcept;

// How close to the moment the store reads a file its times may lie and
// still not tell that version from a later one: a file system keeps times
// no finer than its resolution, so two versions written within it can show
// one stamp. Two seconds, FAT's resolution, covers whole-second file systems
// (ext3, ext4 with small inodes, many network file systems) as well.
inline constexpr std::int64_t kRacyWindow = 2 * 10'000'000;

// Whether a version with this stamp, read (or written) at `readAt` by our
// clock, is racy: its modification or change time is less than kRacyWindow
// older than that moment, or lies in our future, so a version written after
// the read may show the same stamp. An unknown moment counts as racy.
[[nodiscard]] inline bool boRacyStamp(const platform::FileStamp& stamp, std::int64_t readAt) noexcept {
    if (readAt < kFileTimeUnknown + kRacyWindow) {
        return true;
    }
    const std::int64_t settled = readAt - kRacyWindow;
    return stamp.lastWrite > settled || stamp.changeTime > settled;
}

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
    // Size and identity of that same version. With lastWrite they tell
    // whether the file at the path is still the one the store knows; a
    // reset of lastWrite makes every comparison fail.
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // The status change time of that version, which no user can set back.
    std::int64_t changeTime = 0;
    // The hash of that version's content, kept in 63 bits so that the racy
    // mark shares its word; kContentUnknown when the store did not look at
    // the content (a time refreshed by vLastWriteUpdate).
    std::uint64_t contentHash : 63 = 0;
    // Whether the stamp of that version is racy (boRacyStamp) and its
    // content has not been found unchanged since at a moment outside the
    // window: the stamp alone cannot tell it from a later version, so its
    // content is hashed and compared.
    std::uint64_t racy : 1 = 0;

    static constexpr std::uint64_t kContentUnknown = 0;

    // A content hash as the record keeps it.
    [[nodiscard]] static constexpr std::uint64_t hashKept(std::uint64_t hash) noexcept { return hash >> 1; }

    // Remembers the version just read or written at `readAt` by our clock,
    // with the hash of its content (kContentUnknown when it was not looked
    // at). `readAt` is taken before the read, or before the publication of
    // what was written, so that any later version is younger than it.
    void vKnownSet(const platform::FileStamp& stamp, std::uint64_t hash, std::int64_t readAt) noexcept {
        lastWrite = stamp.lastWrite;
        size = stamp.size;
        device = stamp.device;
        inode = stamp.inode;
        changeTime = stamp.changeTime;
        contentHash = hash == kContentUnknown ? kContentUnknown : hashKept(hash);
        racy = boRacyStamp(stamp, readAt) ? 1 : 0;
    }

    // The content of the known version was found unchanged at `checkedAt`
    // (taken before the read): once that lies outside the racy window, the
    // stamp alone decides from then on.
    void vContentChecked(const platform::FileStamp& stamp, std::int64_t checkedAt) noexcept {
        if (racy != 0 && !boRacyStamp(stamp, checkedAt)) {
            racy = 0;
        }
    }

    // Whether the status shows the version last read or written: same times,
    // size and identity. Never true after a reset or an unreadable time.
    // On its own it says "unchanged" only where the record is not racy.
    [[nodiscard]] bool boKnownStamp(const platform::FileStamp& stamp) const noexcept {
        return lastWrite != 0 && lastWrite != kFileTimeUnknown && stamp.lastWrite == lastWrite &&
               stamp.changeTime == changeTime && stamp.size == size && stamp.device == device && stamp.inode == inode;
    }

    // Whether the file with this stamp and content is the version last read
    // or written: the same stamp and the same content. A version whose
    // content the store has not seen is never taken as known.
    [[nodiscard]] bool boKnownContent(const platform::FileStamp& stamp, std::uint64_t hash) const noexcept {
        return boKnownStamp(stamp) && contentHash != kContentUnknown && hashKept(hash) == contentHash;
    }
};

// Sets lastWrite of the record at the level (created if absent) to the
// last-write time of its file, or to kFileTimeUnknown, and the size and
// identity to the file's. The content is not read, so the record no longer
// claims to know it: a lock reads the file, and a racy stamp is not trusted.
template <class Level>
void vLastWriteUpdate(std::map<Level, FileRecord>& records, const Level& level) {
    FileRecord& record = records[level];
    const std::int64_t readAt = clockTicksGet();
    platform::FileStamp stamp;
    if (!boFileStampGet(record.filePath, stamp)) {
        record.lastWrite = kFileTimeUnknown;
        return;
    }
    record.vKnownSet(stamp, FileRecord::kContentUnknown, readAt);
}

} // namespace vyr::utilities
