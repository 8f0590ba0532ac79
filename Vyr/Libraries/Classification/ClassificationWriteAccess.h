#pragma once

#include <string>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "external/platform/Export.h"

namespace vyr::cache {
extern template class VYR_EXPORT CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {

// Write access to one classification, handed out by the admin. Edits reach
// the shared level cache at once and update the merged view; the mapping of
// every locked level is written back into its file when this object is
// destroyed, atomically (a temporary file, synced and renamed over the
// level file), and merged with the file first when another program changed
// it while the level was locked. Holds no lock of the admin:
// thread-compatible, used by one thread at a time and not while another
// thread runs admin operations on the same classification. Two write
// accesses for one classification share its cache; each writes back the
// levels it locked.
class VYR_EXPORT WriteAccess : public cache::CacheWriteAccess<CacheLevels<cache::Level>> {
public:
    using Level = cache::Level;

    WriteAccess(CacheLevels<Level>* cachePointer, Records* records) noexcept
        : CacheWriteAccess(cachePointer, records) {}
    WriteAccess(WriteAccess&&) noexcept = default;

    // Writes every locked level that the cache holds back into its file,
    // in ascending level order, then releases the locks. A failure is
    // reported and leaves the file as it was.
    ~WriteAccess() override;

    // Add or set a pair at a locked level, creating the level from the
    // lowest present one when the cache lacks it. False, and no change, when
    // the level is not locked or an id cannot be stored in a level file.
    [[nodiscard]] bool boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    [[nodiscard]] bool boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    // Removals at a locked level; they never create a level.
    void vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level);
    void vMappedToSourceRemove(const std::string& sourceId, Level level);
    void vMappedToClassifiedRemove(const std::string& classifiedId, Level level);
    // Unlists the source id at a locked level, so that the lower levels
    // decide it again; never creates a level.
    void vMappedToSourceInherit(const std::string& sourceId, Level level);

    // Makes the level's missing file from the highest cached level's header
    // (texts and flags, no pairs). Never replaces anything that exists at
    // the path, nor anything that appears there meanwhile. Does not rebuild
    // the merged view.
    void vCreateFileIfNotAtLevel(const Level& level) override;

    [[nodiscard]] bool boIsReadOnly() const override { return false; }

    [[nodiscard]] bool boLockedFileRead(const Level& level, const platform::Folder& folder) override;

private:
    void vWriteBack(Level level, LockedFile& locked);
};

} // namespace vyr::classification
