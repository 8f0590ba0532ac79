#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"

#include <atomic>
#include <mutex>
#include <system_error>

#include "Source/Core/Utilities/Cache/IdLength.h"
#include "Vyr/Libraries/Classification/ClassificationAdminInstance.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/classification/XmlDocument.h"
#include "external/platform/FileSystem.h"

namespace vyr::bridge::classification {
namespace {

using vyr::classification::Admin;
using vyr::classification::AdminInterface;

// Serialises the creation and the reset of the process-wide admin.
std::mutex& ownerMutex() {
    static std::mutex mutex;
    return mutex;
}

// How many admins were destroyed by a reset: a handle that remembers the
// count at its making knows whether its admin still exists.
std::atomic<std::uint64_t> resets{0};

// An admin that the process's end does not destroy (vAdminKeepAtExit):
// reachable from here until the process is gone, so that no leak checker
// counts it as lost.
Admin* keptAtExit = nullptr;

// The owner of the process-wide admin. At the process's end it destroys the
// admin it holds, unless a one-shot program asked to keep it.
struct Owner {
    std::unique_ptr<Admin> admin;
    std::atomic<bool> boKeepAtExit{false};

    Owner() = default;
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() {
        if (boKeepAtExit.load(std::memory_order_acquire)) {
            keptAtExit = admin.release();
        }
    }
};

Owner& ownerObject() {
    static Owner made;
    return made;
}

std::unique_ptr<Admin>& owner() { return ownerObject().admin; }

// Requires: ownerMutex() is held.
std::unique_ptr<Admin>& ensuredOwner() {
    std::unique_ptr<Admin>& admin = owner();
    if (!admin) {
        admin.reset(new Admin());
    }
    return admin;
}

// The admin, created if there is none, read under the owner's lock so that a
// concurrent reset is either wholly before or wholly after.
Admin* adminGet() {
    const std::lock_guard lock(ownerMutex());
    return ensuredOwner().get();
}

} // namespace

std::uint64_t adminGenerationGet() noexcept { return resets.load(std::memory_order_acquire); }

std::unique_ptr<Admin>& adminInstanceGet() {
    const std::lock_guard lock(ownerMutex());
    return ensuredOwner();
}

AdminWrapper::AdminWrapper() : admin(adminGet()) {}

bool AdminWrapper::boClassificationExists(std::string_view id) {
    return static_cast<AdminInterface*>(admin)->boClassificationExists(id);
}

bool AdminWrapper::boCreateClassification(const std::string& id, const std::string& sText2, const std::string& sText3,
                                          const std::string& sText4, const std::string& sText5, bool boFlag1,
                                          bool boFlag2, const Level& level) {
    return admin->boCreateClassification(id, sText2, sText3, sText4, sText5, boFlag1, boFlag2, level);
}

bool AdminWrapper::boCreateClassification(const std::string& id, const std::string& sText2, const std::string& sText3,
                                          const std::string& sText4, const std::string& sText5, bool boFlag1,
                                          bool boFlag2, const Level& level, vyr::classification::Failure& failure) {
    return admin->boCreateClassification(id, sText2, sText3, sText4, sText5, boFlag1, boFlag2, level, failure);
}

AdminWrapper::Cache* AdminWrapper::cachesGet(std::string_view id) {
    const std::lock_guard lock(admin->mutex);
    return admin->cachesGet(id);
}

std::string AdminWrapper::sText2Get(std::string_view id) { return admin->sText2Get(id); }
std::string AdminWrapper::sText3Get(std::string_view id) { return admin->sText3Get(id); }
std::string AdminWrapper::sText6Get(std::string_view id) { return admin->sText6Get(id); }
std::string AdminWrapper::sText4Get(std::string_view id) { return admin->sText4Get(id); }
std::string AdminWrapper::sText5Get(std::string_view id) { return admin->sText5Get(id); }

bool AdminWrapper::boMappingExists(std::string_view id, std::string_view sSourceId, std::string_view sClassifiedId) {
    return admin->boMappingExists(id, sSourceId, sClassifiedId);
}

const std::set<std::string>* AdminWrapper::pClassifiedIdsGet(std::string_view id, std::string_view sourceId) {
    return static_cast<AdminInterface*>(admin)->pClassifiedIdsGet(id, sourceId);
}

const std::set<std::string>* AdminWrapper::pSourceIdsGet(std::string_view id, std::string_view classifiedId) {
    return static_cast<AdminInterface*>(admin)->pSourceIdsGet(id, classifiedId);
}

std::optional<std::set<std::string>> AdminWrapper::classifiedIdsCopyGet(std::string_view id,
                                                                       std::string_view sourceId) {
    return admin->classifiedIdsCopyGet(id, sourceId);
}

std::optional<std::set<std::string>> AdminWrapper::sourceIdsCopyGet(std::string_view id,
                                                                   std::string_view classifiedId) {
    return admin->sourceIdsCopyGet(id, classifiedId);
}

std::set<std::pair<std::string, std::string>> AdminWrapper::mappingsGet(std::string_view id) {
    return static_cast<AdminInterface*>(admin)->mappingsGet(id);
}

std::string AdminWrapper::sClassifiedIdGet(std::string_view id, std::string_view sourceId) {
    return static_cast<AdminInterface*>(admin)->sClassifiedIdGet(id, sourceId);
}

std::string AdminWrapper::sSourceIdGet(std::string_view id, std::string_view classifiedId) {
    return static_cast<AdminInterface*>(admin)->sSourceIdGet(id, classifiedId);
}

vyr::classification::WriteAccess AdminWrapper::writeAccessGet(std::string_view id) { return admin->writeAccessGet(id); }

bool AdminWrapper::boRefresh(std::string_view id) { return admin->boRefresh(id); }

bool AdminWrapper::boRefresh(std::string_view id, vyr::classification::Failure& failure) {
    return admin->boRefresh(id, failure);
}

std::vector<vyr::classification::Failure> AdminWrapper::readFailuresGet(std::string_view id) {
    return admin->readFailuresGet(id);
}

std::uint64_t AdminWrapper::changeCountGet(std::string_view id) { return admin->changeCountGet(id); }

int AdminWrapper::changeDescriptorGet() { return admin->changeDescriptorGet(); }

std::vector<std::string> AdminWrapper::changedRefresh(vyr::classification::Failure& failure) {
    return admin->changedRefresh(failure);
}

std::optional<std::chrono::milliseconds> AdminWrapper::refreshWaitGet() { return admin->refreshWaitGet(); }

void AdminWrapper::vPollIntervalSet(std::chrono::milliseconds interval) { admin->vPollIntervalSet(interval); }

std::vector<AdminWrapper::LevelWatch> AdminWrapper::watchesGet() { return admin->watchesGet(); }

std::optional<std::string> AdminWrapper::levelFileProblemGet(const std::filesystem::path& file) {
    return Admin::levelFileProblemGet(file);
}

std::vector<std::string> AdminWrapper::levelFileNoticesGet(const std::filesystem::path& file, std::string_view id) {
    return Admin::levelFileNoticesGet(file, id);
}

std::string AdminWrapper::sTextProblemGet(std::string_view text) {
    return vyr::classification::XmlDocument::sTextProblemGet(text, "the text");
}

std::string AdminWrapper::sIdProblemGet(std::string_view id) {
    std::string problem = vyr::classification::XmlDocument::sTextProblemGet(id, "the id");
    if (problem.empty() && !utilities::boIdStaysInFolder(id)) {
        problem = "the id names no file inside its level folder (it is empty or absolute, or has a drive prefix, "
                  "a '..' component or a last component that is empty or '.')";
    }
    return problem;
}

std::string AdminWrapper::sIdLengthProblemGet(std::string_view id, Level level, bool boWriting) {
    std::filesystem::path folder;
    {
        const std::lock_guard lock(admin->mutex);
        folder = admin->path(level);
    }
    return cache::idLengthProblemGet(folder, id, boWriting);
}

std::optional<AdminWrapper::FileName> AdminWrapper::fileNameParse(std::string_view name) {
    return cache::parseFileName(name);
}

std::string AdminWrapper::levelFileNameGet(std::string_view id) { return cache::levelFileName(id); }

int AdminWrapper::fileBytesRead(const std::filesystem::path& file, std::string& bytes) {
    platform::FileStamp stamp;
    return platform::readRegular(file, bytes, stamp);
}

std::optional<AdminWrapper::FileSystemKind> AdminWrapper::fileSystemKindGet(const std::filesystem::path& folder) {
    FileSystemKind kind;
    return platform::fileSystemKindGet(folder, kind) == 0 ? std::optional<FileSystemKind>(std::move(kind))
                                                          : std::nullopt;
}

AdminWrapper::Cache AdminWrapper::sourceCacheRead(std::string_view id, std::string_view sourceId) {
    return admin->sourceCacheRead(id, sourceId);
}

vyr::classification::WriteAccess AdminWrapper::sourceWriteAccessGet(std::string_view id, std::string_view sourceId) {
    return admin->sourceWriteAccessGet(id, sourceId);
}

std::filesystem::path AdminWrapper::levelFolderGet(Level level) {
    const std::lock_guard lock(admin->mutex);
    return admin->path(level);
}

std::filesystem::path AdminWrapper::levelFilePathGet(std::string_view id, Level level) {
    const std::lock_guard lock(admin->mutex);
    return admin->filePathAt(id, level);
}

AdminWrapper::LockRefusal AdminWrapper::lockRefusalGet(const std::filesystem::path& file) {
    return cache::lockRefusalGet(file.parent_path(), file);
}

std::vector<AdminWrapper::Level> AdminWrapper::sourceLevelsGet(const Cache& cache, std::string_view sourceId) {
    return cache.sourceLevelsGet(sourceId);
}

void AdminWrapper::vAdminKeepAtExit() noexcept {
    ownerObject().boKeepAtExit.store(true, std::memory_order_release);
}

void AdminWrapper::vAdminReset() {
    std::unique_ptr<Admin> taken;
    {
        const std::lock_guard lock(ownerMutex());
        taken = std::move(ensuredOwner());
        resets.fetch_add(1, std::memory_order_acq_rel);
    }
    AdminInterface* const base = taken.release();
    delete base;
}

} // namespace vyr::bridge::classification
