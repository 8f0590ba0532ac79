#include "bridge/StoreFace.h"

#include <cxxabi.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationAdminInstance.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "bridge/StoreFaceInternal.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/str/Utf.h"

using vyr::bridge::classification::AdminWrapper;
using vyr::cache::Level;
using vyr::cache::Sys;
using vyr::cache::User;
using vyr::classification::Failure;
using vyr::classification::WriteAccess;

// A handle to the store: the wrapper, the admin it reaches (whose mutex the
// write accesses take) and the count of resets at its making.
struct vyr_admin {
    AdminWrapper wrapper;
    vyr::classification::Admin* admin;
    std::uint64_t generation;
};

// A write access and the admin it was made from. Used by one thread at a
// time; its operations take the admin's mutex.
struct vyr_access {
    std::optional<WriteAccess> access;
    vyr::classification::Admin* admin;
    std::uint64_t generation;
};

namespace vyr::bridge::face {
namespace {

// Write accesses made through the face and not yet released, and runs in
// progress: the face's reset waits for neither, it refuses.
std::atomic<long> liveAccesses{0};
std::atomic<long> liveRuns{0};

// The C++ exceptions that ended face functions, the last few, by token.
// Guarded by keptMutex.
constexpr std::size_t kKeptErrors = 16;
struct KeptError {
    std::uint64_t token = 0;
    std::exception_ptr error;
};
std::mutex keptMutex;
std::array<KeptError, kKeptErrors> keptErrors;
std::uint64_t nextToken = 1;

// The last error of this thread: its token, type name and message.
struct ThreadError {
    std::uint64_t token = 0;
    std::string type;
    std::string message;
};
thread_local ThreadError threadError;

std::string currentTypeName() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr) {
        return "unknown";
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name != nullptr ? std::string(name.get()) : std::string(type->name());
}

// Keeps the exception being handled and notes it as this thread's last.
// Requires: called inside a catch block.
void vCurrentKeep() noexcept {
    try {
        ThreadError noted;
        noted.type = currentTypeName();
        try {
            throw;
        } catch (const std::exception& error) {
            noted.message = error.what();
        } catch (...) {
            noted.message = "an exception that is not a std::exception";
        }
        const std::lock_guard lock(keptMutex);
        noted.token = nextToken++;
        keptErrors[noted.token % kKeptErrors] = KeptError{noted.token, std::current_exception()};
        threadError = std::move(noted);
    } catch (...) {
        // Out of memory while noting: the caller still gets VYR_ERROR.
        threadError = ThreadError{};
    }
}

// Runs the body, turning any exception into VYR_ERROR.
template <class Body>
vyr_status guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        vCurrentKeep();
        return VYR_ERROR;
    }
}

std::string_view view(vyr_text text) { return text.size == 0 ? std::string_view() : std::string_view(text.data, text.size); }
std::string owned(vyr_text text) { return std::string(view(text)); }

bool boLevelKnown(std::int32_t level) { return level >= Sys && level <= User; }

// One allocation that holds a result and every text it points to: the
// structures at its front, the texts' bytes behind them.
class Block {
public:
    Block(std::size_t structures, std::size_t textBytes)
        : memory(static_cast<char*>(std::malloc(structures + textBytes))), next(memory + structures) {
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Block() { std::free(memory); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    template <class T>
    T* at(std::size_t offset) {
        return reinterpret_cast<T*>(memory + offset);
    }
    // Copies the text behind what was placed before, with a NUL after it.
    vyr_text place(std::string_view text) {
        if (!text.empty()) {
            std::memcpy(next, text.data(), text.size());
        }
        next[text.size()] = '\0';
        const vyr_text placed{next, text.size()};
        next += text.size() + 1;
        return placed;
    }
    char* release() { return std::exchange(memory, nullptr); }

private:
    char* memory;
    char* next;
};

// The text, written into the caller's buffer when `out` brings one that is
// large enough, else into a block of its own.
vyr_text textOut(std::string_view text, const vyr_text& out = {}) {
    if (out.data != nullptr && out.size > text.size()) {
        char* const buffer = const_cast<char*>(out.data);
        if (!text.empty()) {
            std::memcpy(buffer, text.data(), text.size());
        }
        buffer[text.size()] = '\0';
        return vyr_text{buffer, text.size()};
    }
    Block block(0, text.size() + 1);
    const vyr_text placed = block.place(text);
    block.release();
    return placed;
}

template <class Texts>
vyr_list* listOut(const Texts& texts) {
    std::size_t bytes = 0;
    for (const auto& text : texts) {
        bytes += std::string_view(text).size() + 1;
    }
    Block block(sizeof(vyr_list) + texts.size() * sizeof(vyr_text), bytes);
    auto* list = block.at<vyr_list>(0);
    auto* items = block.at<vyr_text>(sizeof(vyr_list));
    std::size_t index = 0;
    for (const auto& text : texts) {
        items[index++] = block.place(text);
    }
    *list = vyr_list{texts.size(), items};
    return reinterpret_cast<vyr_list*>(block.release());
}

// The face carries the store's kinds by value.
using Kind = vyr::cache::FailureKind;
static_assert(VYR_FAILURE_NONE == int(Kind::None) && VYR_FAILURE_BUSY == int(Kind::Busy) &&
              VYR_FAILURE_LINK == int(Kind::Link) && VYR_FAILURE_NOT_REGULAR_FILE == int(Kind::NotRegularFile) &&
              VYR_FAILURE_SEVERAL_LINKS == int(Kind::SeveralLinks) &&
              VYR_FAILURE_NOT_WELL_FORMED == int(Kind::NotWellFormed) && VYR_FAILURE_NO_FILE == int(Kind::NoFile) &&
              VYR_FAILURE_CANNOT_STORE == int(Kind::CannotStore) &&
              VYR_FAILURE_KEEPS_CHANGING == int(Kind::KeepsChanging) &&
              VYR_FAILURE_NOT_LOCKED == int(Kind::NotLocked) && VYR_FAILURE_NO_LOWER_LEVEL == int(Kind::NoLowerLevel) &&
              VYR_FAILURE_EXISTS == int(Kind::Exists) && VYR_FAILURE_SYSTEM_ERROR == int(Kind::SystemError) &&
              VYR_FAILURE_ID_TOO_LONG == int(Kind::IdTooLong) &&
              VYR_FAILURE_OTHER_SOURCE == int(Kind::OtherSource));

// Places the failure's fields into the block.
void vFailurePlace(Block& block, const Failure& failure, const std::string& file, vyr_failure& out) {
    out.level = failure.level;
    out.file = block.place(file);
    out.what = block.place(failure.sWhat);
    out.error = failure.error;
    out.reason = block.place(failure.sReason);
    out.kind = static_cast<int32_t>(failure.kind);
}

vyr_failure* failureOut(const Failure& failure) {
    const std::string file = str::utf8FromPath(failure.file);
    Block block(sizeof(vyr_failure), file.size() + failure.sWhat.size() + failure.sReason.size() + 3);
    vFailurePlace(block, failure, file, *block.at<vyr_failure>(0));
    return reinterpret_cast<vyr_failure*>(block.release());
}

vyr_failures* failuresOut(const std::vector<Failure>& failures) {
    std::vector<std::string> files;
    std::size_t bytes = 0;
    for (const Failure& failure : failures) {
        files.push_back(str::utf8FromPath(failure.file));
        bytes += files.back().size() + failure.sWhat.size() + failure.sReason.size() + 3;
    }
    Block block(sizeof(vyr_failures) + failures.size() * sizeof(vyr_failure), bytes);
    auto* items = block.at<vyr_failure>(sizeof(vyr_failures));
    for (std::size_t index = 0; index < failures.size(); ++index) {
        vFailurePlace(block, failures[index], files[index], items[index]);
    }
    *block.at<vyr_failures>(0) = vyr_failures{failures.size(), items};
    return reinterpret_cast<vyr_failures*>(block.release());
}

// VYR_FAILED with the failure when the access's last operation failed.
vyr_status accessOutcome(const WriteAccess& access, vyr_failure** failure) {
    if (!access.failureGet().boFailed()) {
        return VYR_OK;
    }
    *failure = failureOut(access.failureGet());
    return VYR_FAILED;
}

bool boCurrent(std::uint64_t generation) {
    return generation == vyr::bridge::classification::adminGenerationGet();
}

// Runs a query on a live handle.
template <class Body>
vyr_status onAdmin(vyr_admin* admin, const void* out, Body&& body) noexcept {
    if (admin == nullptr || out == nullptr) {
        return VYR_INVALID;
    }
    if (!boCurrent(admin->generation)) {
        return VYR_DISPOSED;
    }
    return guarded([&] { return body(admin->wrapper); });
}

// Runs an operation of a live write access at a known level, under the
// admin's mutex.
template <class Body>
vyr_status onAccess(vyr_access* access, std::int32_t level, vyr_failure** failure, Body&& body) noexcept {
    if (access == nullptr || failure == nullptr || !access->access || !boLevelKnown(level)) {
        return VYR_INVALID;
    }
    if (!boCurrent(access->generation)) {
        return VYR_DISPOSED;
    }
    return guarded([&] {
        const std::lock_guard lock(access->admin->mutex);
        body(*access->access, static_cast<Level>(level));
        return accessOutcome(*access->access, failure);
    });
}

} // namespace

RunScope::RunScope() noexcept { liveRuns.fetch_add(1); }
RunScope::~RunScope() { liveRuns.fetch_sub(1); }

void vKeptErrorRethrow(std::uint64_t token) {
    std::exception_ptr kept;
    {
        const std::lock_guard lock(keptMutex);
        const KeptError& slot = keptErrors[token % kKeptErrors];
        if (token != 0 && slot.token == token) {
            kept = slot.error;
        }
    }
    if (kept != nullptr) {
        std::rethrow_exception(kept);
    }
}

} // namespace vyr::bridge::face

using namespace vyr::bridge::face;
using vyr::bridge::face::guarded;

void vyr_free(void* block) { std::free(block); }

vyr_status vyr_error_get(vyr_error** error) {
    if (error == nullptr || threadError.token == 0) {
        return VYR_INVALID;
    }
    return guarded([&] {
        Block block(sizeof(vyr_error), threadError.type.size() + threadError.message.size() + 2);
        auto* out = block.at<vyr_error>(0);
        out->token = threadError.token;
        out->type = block.place(threadError.type);
        out->message = block.place(threadError.message);
        *error = reinterpret_cast<vyr_error*>(block.release());
        return VYR_OK;
    });
}

vyr_status vyr_admin_make(vyr_admin** admin) {
    if (admin == nullptr) {
        return VYR_INVALID;
    }
    return guarded([&] {
        const std::uint64_t generation = vyr::bridge::classification::adminGenerationGet();
        AdminWrapper wrapper;
        vyr::classification::Admin* const target = vyr::bridge::classification::adminInstanceGet().get();
        *admin = new vyr_admin{wrapper, target, generation};
        return VYR_OK;
    });
}

vyr_status vyr_admin_wrap(const void* wrapper, vyr_admin** admin) {
    if (wrapper == nullptr || admin == nullptr) {
        return VYR_INVALID;
    }
    return guarded([&] {
        const std::uint64_t generation = vyr::bridge::classification::adminGenerationGet();
        vyr::classification::Admin* const target = vyr::bridge::classification::adminInstanceGet().get();
        *admin = new vyr_admin{*static_cast<const AdminWrapper*>(wrapper), target, generation};
        return VYR_OK;
    });
}

void vyr_admin_release(vyr_admin* admin) { delete admin; }

vyr_status vyr_admin_reset() {
    if (liveAccesses.load() != 0 || liveRuns.load() != 0) {
        return VYR_BUSY;
    }
    return guarded([] {
        AdminWrapper::vAdminReset();
        return VYR_OK;
    });
}

vyr_status vyr_admin_classification_exists(vyr_admin* admin, vyr_text id, int32_t* exists) {
    return onAdmin(admin, exists, [&](AdminWrapper& wrapper) {
        *exists = wrapper.boClassificationExists(view(id)) ? 1 : 0;
        return VYR_OK;
    });
}

vyr_status vyr_admin_classification_create(vyr_admin* admin, vyr_text id, vyr_text text2, vyr_text text3,
                                           vyr_text text4, vyr_text text5, int32_t flag1, int32_t flag2,
                                           int32_t level, vyr_failure** failure) {
    if (!boLevelKnown(level)) {
        return VYR_INVALID;
    }
    return onAdmin(admin, failure, [&](AdminWrapper& wrapper) {
        Failure failed;
        if (wrapper.boCreateClassification(owned(id), owned(text2), owned(text3), owned(text4), owned(text5),
                                           flag1 != 0, flag2 != 0, static_cast<Level>(level), failed)) {
            return VYR_OK;
        }
        *failure = failureOut(failed);
        return VYR_FAILED;
    });
}

vyr_status vyr_admin_levels_get(vyr_admin* admin, vyr_text id, vyr_levels** levels) {
    return onAdmin(admin, levels, [&](AdminWrapper&) {
        // Placed straight from the cache, under the store's lock: one copy of
        // every pair of every level, into the block.
        const std::lock_guard lock(admin->admin->mutex);
        const auto& cached = admin->admin->cachesGet(view(id))->levels;
        std::size_t sources = 0;
        std::size_t classified = 0;
        std::size_t bytes = 0;
        for (const auto& [level, mapping] : cached) {
            sources += mapping.sourceToClassified.size();
            for (const auto& [source, ids] : mapping.sourceToClassified) {
                bytes += source.size() + 1;
                classified += ids.size();
                for (const std::string& one : ids) {
                    bytes += one.size() + 1;
                }
            }
        }
        const std::size_t levelsAt = sizeof(vyr_levels);
        const std::size_t sourcesAt = levelsAt + cached.size() * sizeof(vyr_level);
        const std::size_t textsAt = sourcesAt + sources * sizeof(vyr_source);
        Block block(textsAt + classified * sizeof(vyr_text), bytes);
        auto* level = block.at<vyr_level>(levelsAt);
        auto* source = block.at<vyr_source>(sourcesAt);
        auto* text = block.at<vyr_text>(textsAt);
        *block.at<vyr_levels>(0) = vyr_levels{cached.size(), level};
        for (const auto& [value, mapping] : cached) {
            *level++ = vyr_level{value, mapping.sourceToClassified.size(), source};
            for (const auto& [sourceId, ids] : mapping.sourceToClassified) {
                *source++ = vyr_source{block.place(sourceId), ids.size(), text};
                for (const std::string& one : ids) {
                    *text++ = block.place(one);
                }
            }
        }
        *levels = reinterpret_cast<vyr_levels*>(block.release());
        return VYR_OK;
    });
}

vyr_status vyr_admin_text_get(vyr_admin* admin, vyr_text id, int32_t which, vyr_text* text) {
    using Getter = std::string (AdminWrapper::*)(std::string_view);
    static constexpr std::array<Getter, 5> kGetters = {&AdminWrapper::sText2Get, &AdminWrapper::sText3Get,
                                                       &AdminWrapper::sText4Get, &AdminWrapper::sText5Get,
                                                       &AdminWrapper::sText6Get};
    if (which < 2 || which > 6) {
        return VYR_INVALID;
    }
    return onAdmin(admin, text, [&](AdminWrapper& wrapper) {
        *text = textOut((wrapper.*kGetters[static_cast<std::size_t>(which - 2)])(view(id)), *text);
        return VYR_OK;
    });
}

vyr_status vyr_admin_mapping_exists(vyr_admin* admin, vyr_text id, vyr_text source, vyr_text classified,
                                    int32_t* exists) {
    return onAdmin(admin, exists, [&](AdminWrapper& wrapper) {
        *exists = wrapper.boMappingExists(view(id), view(source), view(classified)) ? 1 : 0;
        return VYR_OK;
    });
}

vyr_status vyr_admin_classified_ids_get(vyr_admin* admin, vyr_text id, vyr_text source, vyr_list** ids) {
    return onAdmin(admin, ids, [&](AdminWrapper& wrapper) {
        const auto copy = wrapper.classifiedIdsCopyGet(view(id), view(source));
        *ids = copy ? listOut(*copy) : nullptr;
        return VYR_OK;
    });
}

vyr_status vyr_admin_source_ids_get(vyr_admin* admin, vyr_text id, vyr_text classified, vyr_list** ids) {
    return onAdmin(admin, ids, [&](AdminWrapper& wrapper) {
        const auto copy = wrapper.sourceIdsCopyGet(view(id), view(classified));
        *ids = copy ? listOut(*copy) : nullptr;
        return VYR_OK;
    });
}

vyr_status vyr_admin_classified_id_get(vyr_admin* admin, vyr_text id, vyr_text source, vyr_text* classified) {
    return onAdmin(admin, classified, [&](AdminWrapper& wrapper) {
        *classified = textOut(wrapper.sClassifiedIdGet(view(id), view(source)), *classified);
        return VYR_OK;
    });
}

vyr_status vyr_admin_source_id_get(vyr_admin* admin, vyr_text id, vyr_text classified, vyr_text* source) {
    return onAdmin(admin, source, [&](AdminWrapper& wrapper) {
        *source = textOut(wrapper.sSourceIdGet(view(id), view(classified)), *source);
        return VYR_OK;
    });
}

vyr_status vyr_admin_mappings_get(vyr_admin* admin, vyr_text id, vyr_list** pairs) {
    return onAdmin(admin, pairs, [&](AdminWrapper& wrapper) {
        std::vector<std::string_view> flat;
        const auto mappings = wrapper.mappingsGet(view(id));
        flat.reserve(mappings.size() * 2);
        for (const auto& [source, classified] : mappings) {
            flat.push_back(source);
            flat.push_back(classified);
        }
        *pairs = listOut(flat);
        return VYR_OK;
    });
}

vyr_status vyr_admin_refresh(vyr_admin* admin, vyr_text id, int32_t* changed, vyr_failure** unread) {
    if (unread == nullptr) {
        return VYR_INVALID;
    }
    return onAdmin(admin, changed, [&](AdminWrapper& wrapper) {
        Failure failed;
        *changed = wrapper.boRefresh(view(id), failed) ? 1 : 0;
        *unread = failed.boFailed() ? failureOut(failed) : nullptr;
        return VYR_OK;
    });
}

vyr_status vyr_admin_change_count_get(vyr_admin* admin, vyr_text id, uint64_t* count) {
    return onAdmin(admin, count, [&](AdminWrapper& wrapper) {
        *count = wrapper.changeCountGet(view(id));
        return VYR_OK;
    });
}

vyr_status vyr_admin_read_failures_get(vyr_admin* admin, vyr_text id, vyr_failures** failures) {
    return onAdmin(admin, failures, [&](AdminWrapper& wrapper) {
        *failures = failuresOut(wrapper.readFailuresGet(view(id)));
        return VYR_OK;
    });
}

vyr_status vyr_admin_write_access_get(vyr_admin* admin, vyr_text id, vyr_access** access) {
    return onAdmin(admin, access, [&](AdminWrapper& wrapper) {
        auto made = std::make_unique<vyr_access>(vyr_access{std::nullopt, admin->admin, admin->generation});
        made->access.emplace(wrapper.writeAccessGet(view(id)));
        *access = made.release();
        liveAccesses.fetch_add(1);
        return VYR_OK;
    });
}

vyr_status vyr_access_lock(vyr_access* access, int32_t level, vyr_failure** failure) {
    return onAccess(access, level, failure,
                    [](WriteAccess& target, Level at) { static_cast<void>(target.boLockFile(at)); });
}

vyr_status vyr_access_add(vyr_access* access, vyr_text source, vyr_text classified, int32_t level,
                          vyr_failure** failure) {
    return onAccess(access, level, failure, [&](WriteAccess& target, Level at) {
        static_cast<void>(target.boAddMapping(owned(source), owned(classified), at));
    });
}

vyr_status vyr_access_set(vyr_access* access, vyr_text source, vyr_text classified, int32_t level,
                          vyr_failure** failure) {
    return onAccess(access, level, failure, [&](WriteAccess& target, Level at) {
        static_cast<void>(target.boSetMapping(owned(source), owned(classified), at));
    });
}

vyr_status vyr_access_remove(vyr_access* access, vyr_text source, vyr_text classified, int32_t level,
                             vyr_failure** failure) {
    return onAccess(access, level, failure, [&](WriteAccess& target, Level at) {
        target.vMappingRemove(owned(source), owned(classified), at);
    });
}

vyr_status vyr_access_source_remove(vyr_access* access, vyr_text source, int32_t level, vyr_failure** failure) {
    return onAccess(access, level, failure,
                    [&](WriteAccess& target, Level at) { target.vMappedToSourceRemove(owned(source), at); });
}

vyr_status vyr_access_classified_remove(vyr_access* access, vyr_text classified, int32_t level,
                                        vyr_failure** failure) {
    return onAccess(access, level, failure, [&](WriteAccess& target, Level at) {
        target.vMappedToClassifiedRemove(owned(classified), at);
    });
}

vyr_status vyr_access_source_inherit(vyr_access* access, vyr_text source, int32_t level, vyr_failure** failure) {
    return onAccess(access, level, failure,
                    [&](WriteAccess& target, Level at) { target.vMappedToSourceInherit(owned(source), at); });
}

vyr_status vyr_access_write_back(vyr_access* access, vyr_failure** failure) {
    return onAccess(access, Sys, failure,
                    [](WriteAccess& target, Level) { static_cast<void>(target.boWriteBack()); });
}

vyr_status vyr_access_file_create(vyr_access* access, int32_t level) {
    vyr_failure* unused = nullptr;
    return onAccess(access, level, &unused,
                    [](WriteAccess& target, Level at) { target.vCreateFileIfNotAtLevel(at); });
}

namespace {

// Ends the access: `end` runs on a live one under the admin's mutex; a
// disposed one only lets its locks go. Never lets an exception out.
template <class End>
void vAccessEnd(vyr_access* access, End&& end) noexcept {
    if (access == nullptr) {
        return;
    }
    std::unique_ptr<vyr_access> owner(access);
    liveAccesses.fetch_sub(1);
    if (!owner->access) {
        return;
    }
    if (!boCurrent(owner->generation)) {
        owner->access->vLocksDrop();
        return;
    }
    static_cast<void>(guarded([&] {
        const std::lock_guard lock(owner->admin->mutex);
        end(*owner->access);
        owner->access.reset();
        return VYR_OK;
    }));
    if (owner->access) {
        owner->access->vLocksDrop();
    }
}

} // namespace

void vyr_access_release(vyr_access* access) {
    vAccessEnd(access, [](WriteAccess&) {});
}

void vyr_access_abandon(vyr_access* access) {
    vAccessEnd(access, [](WriteAccess& target) { target.vAbandon(); });
}

namespace {

template <class Body>
vyr_status onObject(const void* object, const void* out, Body&& body) noexcept {
    if (object == nullptr || out == nullptr) {
        return VYR_INVALID;
    }
    return guarded(std::forward<Body>(body));
}

const vyr::DirectoriesInterface& directoriesOf(const void* directories) {
    return *static_cast<const vyr::DirectoriesInterface*>(directories);
}

const vyr::definition::Node& nodeOf(const void* node) { return *static_cast<const vyr::definition::Node*>(node); }

} // namespace

vyr_status vyr_directories_get(const void** directories) {
    if (directories == nullptr) {
        return VYR_INVALID;
    }
    return guarded([&] {
        *directories = &vyr::Directories::getInstance();
        return VYR_OK;
    });
}

vyr_status vyr_directories_sys_get(const void* directories, vyr_text* folder) {
    return onObject(directories, folder, [&] {
        *folder = textOut(vyr::str::utf8FromPath(directoriesOf(directories).sysDirectoryGet()));
        return VYR_OK;
    });
}

vyr_status vyr_directories_shared_get(const void* directories, vyr_list** folders) {
    return onObject(directories, folders, [&] {
        std::vector<std::string> texts;
        for (const std::filesystem::path& folder : directoriesOf(directories).sharedDirectoriesGet()) {
            texts.push_back(vyr::str::utf8FromPath(folder));
        }
        *folders = listOut(texts);
        return VYR_OK;
    });
}

vyr_status vyr_directories_user_get(const void* directories, vyr_text* folder) {
    return onObject(directories, folder, [&] {
        *folder = textOut(vyr::str::utf8FromPath(directoriesOf(directories).userDirectoryGet()));
        return VYR_OK;
    });
}

vyr_status vyr_directories_set(vyr_text sys, const vyr_text* shared, size_t shared_count, vyr_text user) {
    if (shared == nullptr && shared_count != 0) {
        return VYR_INVALID;
    }
    return guarded([&] {
        std::vector<std::filesystem::path> folders;
        for (std::size_t index = 0; index < shared_count; ++index) {
            folders.push_back(vyr::str::pathFromUtf8(view(shared[index])));
        }
        std::filesystem::path sysFolder = vyr::str::pathFromUtf8(view(sys));
        std::filesystem::path userFolder = vyr::str::pathFromUtf8(view(user));
        vyr::Directories::vSysDirectorySet(std::move(sysFolder));
        vyr::Directories::vSharedDirectoriesSet(std::move(folders));
        vyr::Directories::vUserDirectorySet(std::move(userFolder));
        return VYR_OK;
    });
}

vyr_status vyr_definition_admin_name_get(const void* admin, vyr_text* name) {
    return onObject(admin, name, [&] {
        *name = textOut(static_cast<const vyr::bridge::definition::AdminWrapper*>(admin)->nameGet());
        return VYR_OK;
    });
}

vyr_status vyr_node_name_get(const void* node, vyr_text* name) {
    return onObject(node, name, [&] {
        *name = textOut(nodeOf(node).nameGet());
        return VYR_OK;
    });
}

vyr_status vyr_node_has_children(const void* node, int32_t* has) {
    return onObject(node, has, [&] {
        *has = nodeOf(node).boHasChildren() ? 1 : 0;
        return VYR_OK;
    });
}

vyr_status vyr_node_child_count(const void* node, size_t* count) {
    return onObject(node, count, [&] {
        *count = nodeOf(node).childrenGet().size();
        return VYR_OK;
    });
}

vyr_status vyr_node_child_get(const void* node, size_t index, const void** child) {
    return onObject(node, child, [&] {
        const auto& children = nodeOf(node).childrenGet();
        if (index >= children.size()) {
            return VYR_INVALID;
        }
        *child = &children[index];
        return VYR_OK;
    });
}

vyr_status vyr_callback_progress(void* callback, int32_t done, int32_t total) {
    return onObject(callback, callback, [&] {
        static_cast<vyr::classification::ClassificationUiCallbackInterface*>(callback)->vProgress(done, total);
        return VYR_OK;
    });
}

vyr_status vyr_callback_message(void* callback, vyr_text message) {
    return onObject(callback, callback, [&] {
        static_cast<vyr::classification::ClassificationUiCallbackInterface*>(callback)->vMessage(owned(message));
        return VYR_OK;
    });
}

namespace {

constexpr vyr_face kFace = {
    VYR_FACE_VERSION,
    sizeof(vyr_face),
    vyr_free,
    vyr_error_get,
    vyr_admin_make,
    vyr_admin_wrap,
    vyr_admin_release,
    vyr_admin_reset,
    vyr_admin_classification_exists,
    vyr_admin_classification_create,
    vyr_admin_levels_get,
    vyr_admin_text_get,
    vyr_admin_mapping_exists,
    vyr_admin_classified_ids_get,
    vyr_admin_source_ids_get,
    vyr_admin_classified_id_get,
    vyr_admin_source_id_get,
    vyr_admin_mappings_get,
    vyr_admin_refresh,
    vyr_admin_change_count_get,
    vyr_admin_read_failures_get,
    vyr_admin_write_access_get,
    vyr_access_lock,
    vyr_access_add,
    vyr_access_set,
    vyr_access_remove,
    vyr_access_source_remove,
    vyr_access_classified_remove,
    vyr_access_source_inherit,
    vyr_access_write_back,
    vyr_access_file_create,
    vyr_access_release,
    vyr_access_abandon,
    vyr_directories_get,
    vyr_directories_sys_get,
    vyr_directories_shared_get,
    vyr_directories_user_get,
    vyr_directories_set,
    vyr_definition_admin_name_get,
    vyr_node_name_get,
    vyr_node_has_children,
    vyr_node_child_count,
    vyr_node_child_get,
    vyr_callback_progress,
    vyr_callback_message,
};

} // namespace

const vyr_face* vyr_face_get(uint32_t version) { return version == VYR_FACE_VERSION ? &kFace : nullptr; }
