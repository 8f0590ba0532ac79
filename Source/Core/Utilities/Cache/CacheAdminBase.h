#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "Source/Core/Utilities/Cache/CacheFilesWithLevels.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "external/str/Utf.h"

namespace vyr::cache {

// The base of a cache admin: the level folders and file records it inherits,
// the cache of every item by id, and the admin's only lock. Owns all of them
// by value; cache entries are never erased while the admin lives, so pointers
// to them stay valid until it is destroyed.
//
// `mutex` guards the folders, the file records, `caches` and every cache in
// it. Only vLevelFolderChange takes it here; vUserLevelInvalidate and
// vLevelInvalidate take none, and a caller that shares the admin between
// threads serialises them with the other operations itself.
template <class Cache>
class CacheAdminBase : public utilities::CacheFilesAtLevels<Cache, Level> {
public:
    // Forgets what the cache holds for the id at User. Takes no lock.
    virtual void vUserLevelInvalidate(const std::string& id) { vLevelInvalidate(id, User); }
    // The name of the store's subfolder in every level folder.
    [[nodiscard]] virtual std::string sFolderName() const = 0;

    // Sets the level's folder to base joined with the store's subfolder.
    void vSubfolderPathSet(const std::filesystem::path& base, const Level& level) {
        this->vPathSet(base / sFolderName(), level);
    }

    // Replaces the level's folder (UTF-8 text) and resets that level for
    // every cached item, so each is read again at that level on its next
    // update. Sets the folder before it takes the admin's mutex, then takes
    // it for the reset. Must not run concurrently with other admin
    // operations. Stored file paths are not recomputed.
    void vLevelFolderChange(const Level& level, const std::string& folder) {
        this->vPathSet(str::pathFromUtf8(folder), level);
        const std::lock_guard lock(mutex);
        for (auto& [id, cache] : caches) {
            vLevelForget(id, cache, level);
        }
    }

    // The User folder becomes base joined with the store's subfolder.
    void vUserFolderSet(const std::filesystem::path& base) {
        vLevelFolderChange(User, str::utf8FromPath(base / sFolderName()));
    }

    // Forgets what the cache holds for one item at one level, so the level's
    // file is read again; an item not cached yet becomes cached, empty.
    // Requires: the admin's mutex is held, or no other thread uses the admin.
    void vLevelInvalidate(std::string_view id, const Level& level) {
        const auto found = caches.find(id);
        if (found == caches.end()) {
            caches.try_emplace(std::string(id));
            this->filesGet(id)[level].lastWrite = 0;
            return;
        }
        vLevelForget(found->first, found->second, level);
    }

    std::map<std::string, Cache, std::less<>> caches;
    std::mutex mutex;

protected:
    CacheAdminBase() = default;
    ~CacheAdminBase() = default;

private:
    void vLevelForget(std::string_view id, Cache& cache, const Level& level) {
        cache.levels.erase(level);
        cache.vChanged();
        this->filesGet(id)[level].lastWrite = 0;
    }
};

} // namespace vyr::cache
