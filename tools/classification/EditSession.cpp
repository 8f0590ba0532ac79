#include "tools/classification/EditSession.h"

#include <algorithm>

#include "external/assert/Assert.h"

namespace vyr::tool {

std::string failureText(const classification::Failure& failure) {
    return failure.sWhat + (failure.sReason.empty() ? "" : ": " + failure.sReason);
}

std::optional<std::string> runFailureGet(const std::function<void()>& run) {
    // The sink keeps every record of the process: those past the count
    // taken before the run are the run's.
    const std::size_t before = assert::Assert::recordsGet().size();
    run();
    const std::vector<assert::AssertInfoWrapper> records = assert::Assert::recordsGet();
    return records.size() > before ? std::optional<std::string>(std::string(records[before]->message()))
                                   : std::nullopt;
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
    if (!access->boLockFile(level)) {
        const std::string failure = failureText(access->failureGet());
        return context.iFail("cannot lock " + pathText(file) + " for writing" +
                             (failure.empty() ? "" : ": " + failure) + "; nothing changed");
    }
    return kExitSuccess;
}

int EditSession::iWriteBack(std::string_view after) {
    if (!access->boWriteBack()) {
        const std::string failure = failureText(access->failureGet());
        return context.iFail("could not write " + pathText(file) + ": " +
                             (failure.empty() ? "the store did not write it" : failure) + std::string(after));
    }
    access.reset(); // lets the level go
    return kExitSuccess;
}

} // namespace vyr::tool
