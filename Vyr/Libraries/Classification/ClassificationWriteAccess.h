#pragma once

#include <filesystem>
#include <iosfwd>
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
// the shared level cache and the merged view at once; the mapping of
// every locked level is written back into its file when this object is
// destroyed. Holds no lock of the admin: thread-compatible, used by one
// thread at a time and not while another thread runs admin operations on the
// same classification. Two write accesses for one classification share its
// cache; each writes back the levels it locked.
class VYR_EXPORT WriteAccess : public cache::CacheWriteAccess<CacheLevels<cache::Level>> {
public:
    using Level = cache::Level;

    WriteAccess(CacheLevels<Level>* cachePointer, Records* records) noexcept
        : CacheWriteAccess(cachePointer, records) {}
    WriteAccess(WriteAccess&&) noexcept = default;

    // Writes every locked level that the cache holds back into its file,
    // in ascending level order, then closes the files.
    ~WriteAccess() override;

    // Add or set a pair at a locked level, creating the level from the
    // lowest present one when the cache lacks it. False, and no change, when
    // the level is not locked.
    [[nodiscard]] bool boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    [[nodiscard]] bool boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level);
    // Removals at a locked level; they never create a level.
    void vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level);
    void vMappedToSourceRemove(const std::string& sourceId, Level level);
    void vMappedToClassifiedRemove(const std::string& classifiedId, Level level);

    // Makes the level's missing file from the highest cached level's header
    // (texts and flags, no pairs). Never replaces anything that exists at
    // the path. Does not rebuild the merged view.
    void vCreateFileIfNotAtLevel(const Level& level) override;

    [[nodiscard]] bool boIsReadOnly() const override { return false; }

private:
    void vWriteBack(Level level, std::fstream& stream);
    // Makes the content the whole of the file open in the stream, keeping
    // the old content when the write fails.
    static void vContentReplace(std::fstream& stream, std::string content, const std::filesystem::path& filePath);
};

} // namespace vyr::classification
