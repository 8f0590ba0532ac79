#include "tools/classification/EditSession.h"

#include <algorithm>

#include "external/assert/Assert.h"
#include "tools/classification/Display.h"

namespace vyr::tool {

namespace {

// For now the store tells its reasons only as assertion records, each
// naming the function that made it: those of write access and creation
// since the call began are the call's failures.
std::optional<std::string> failureOf(const std::function<bool()>& call) {
    assert::Assert::vClear();
    const bool boDone = call();
    for (const assert::AssertInfoWrapper& record : assert::Assert::recordsGet()) {
        const std::string_view function = record->function();
        if (function.starts_with("vyr::classification::WriteAccess") ||
            function.starts_with("vyr::cache::CacheWriteAccess") ||
            function == "vyr::classification::Admin::boCreateClassification") {
            return std::string(record->message());
        }
    }
    return boDone ? std::nullopt : std::optional<std::string>(std::string());
}

} // namespace

std::optional<std::string> lockFailureGet(classification::WriteAccess& access, Level level) {
    return failureOf([&] { return access.boLockFile(level); });
}

std::optional<std::string> writeBackFailureGet(classification::WriteAccess& access) {
    std::optional<std::string> failure = failureOf([&] { return access.boWriteBack(); });
    return failure && failure->empty() ? "the store did not write it" : failure;
}

std::optional<std::string> createFailureGet(AdminWrapper& store, const std::string& id, const Args& args,
                                            Level level) {
    return failureOf([&] {
        return store.boCreateClassification(id, args.texts[0], args.texts[1], args.texts[2], args.texts[3],
                                            args.boFlag1, args.boFlag2, level);
    });
}

std::optional<std::string> runFailureGet(const std::function<void()>& run) {
    return failureOf([&] {
        run();
        return true;
    });
}

EditSession::EditSession(const Context& context, std::string id, Level level)
    : context(context), id(std::move(id)), level(level), file(context.file(level, this->id)) {}

int EditSession::iOpen(std::string_view notOver) {
    if (pReadableCacheGet(store, id) == nullptr) {
        vWarningsPrint(context, unreadLevelsGet(context, id, nullptr));
        return context.iFail(sMissingReason(context, id) + "; nothing changed");
    }
    // The write access brings the cache up to the files.
    access.emplace(store.writeAccessGet(id));
    cache = store.cachesGet(id);
    warnings = unreadLevelsGet(context, id, cache);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    const auto own = std::find_if(warnings.begin(), warnings.end(), [&](const Warning& w) { return w.level == level; });
    const std::string reason = own == warnings.end() ? "" : own->message;
    warnings.erase(own, own == warnings.end() ? own : own + 1);
    vWarningsPrint(context, warnings);
    if (!reason.empty()) {
        return context.iFail(pathText(file) + " does not read (" + reason + "); " + std::string(notOver));
    }
    return kExitSuccess;
}

int EditSession::iLock() {
    if (const std::optional<std::string> failure = lockFailureGet(*access, level)) {
        return context.iFail("cannot lock " + pathText(file) + " for writing" +
                             (failure->empty() ? "" : ": " + *failure) + "; nothing changed");
    }
    return kExitSuccess;
}

int EditSession::iWriteBack(std::string_view after) {
    const std::optional<std::string> failure = writeBackFailureGet(*access);
    if (failure) {
        return context.iFail("could not write " + pathText(file) + ": " + *failure + std::string(after));
    }
    access.reset(); // lets the level go
    return kExitSuccess;
}

} // namespace vyr::tool
