#include "tools/classification/EditSession.h"

#include <algorithm>
#include <utility>

#include "tools/classification/Tool.h"

namespace vyr::tool {

EditSession::EditSession(const Context& context, std::string id, Level level)
    : context(context), id(std::move(id)), level(level), file(context.file(level, this->id)) {}

bool EditSession::boOpen(std::string_view notOver) {
    if (pReadableCacheGet(store, id) == nullptr) {
        vUnreadLevelsAdd(context, id, nullptr, warnings);
        vWarningsPrint(context, warnings);
        context.iFail(sMissingReason(context, id) + "; nothing changed");
        return false;
    }
    // The write access brings the cache up to the files.
    access.emplace(store.writeAccessGet(id));
    cache = store.cachesGet(id);
    return boOwnFileReads(notOver);
}

bool EditSession::boOpenSource(const std::string& source) {
    access.emplace(store.sourceWriteAccessGet(id, source));
    cache = access->pSourceCacheGet();
    if (cache->levels.empty()) {
        access.reset();
        cache = nullptr;
        vUnreadLevelsAdd(context, id, nullptr, warnings);
        vWarningsPrint(context, warnings);
        context.iFail(sMissingReason(context, id) + "; nothing changed");
        return false;
    }
    return boOwnFileReads("not writing over it");
}

bool EditSession::boOwnFileReads(std::string_view notOver) {
    vUnreadLevelsAdd(context, id, cache, warnings);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    const auto own = std::find_if(warnings.begin(), warnings.end(), [&](const Warning& w) { return w.level == level; });
    const std::string reason = own == warnings.end() ? "" : own->message;
    warnings.erase(own, own == warnings.end() ? own : own + 1);
    vWarningsPrint(context, warnings);
    if (!reason.empty()) {
        context.iFail(pathText(file) + " does not read (" + reason + "); " + std::string(notOver));
    }
    return reason.empty();
}

bool EditSession::boMergedViewWhole(std::string_view what, std::string_view instead) const {
    if (warnings.empty()) {
        return true;
    }
    // Other levels than the one edited: boOpen refuses the edit when its own file does not read.
    const Warning& unread = warnings.front();
    context.iFail(std::string(what) + " from the merged view, which lacks level " +
                  std::string(levelName(unread.level)) + ": " + pathText(unread.path) +
                  " does not read; nothing changed. Mend that file first (vyr-classification check), or " +
                  std::string(instead));
    return false;
}

bool EditSession::boLock() {
    if (!access->boLockFile(level)) {
        context.iFail("cannot lock " + pathText(file) + " for writing" + failureText(access->failureGet()) +
                      "; nothing changed");
        return false;
    }
    return true;
}

bool EditSession::boWriteBack(std::string_view after) {
    if (!access->boWriteBack()) {
        context.iFail("could not write " + pathText(file) +
                      failureText(access->failureGet(), "the store did not write it") + std::string(after));
        return false;
    }
    // Lets the level go; a one-source access keeps its cache, which `cache` points at.
    if (access->pSourceCacheGet() != nullptr) {
        access->vLocksDrop();
    } else {
        access.reset();
    }
    return true;
}

} // namespace vyr::tool
