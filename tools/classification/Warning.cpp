#include "tools/classification/Warning.h"

#include "tools/classification/Tool.h"

namespace vyr::tool {

namespace fs = std::filesystem;

void vUnreadLevelsAdd(const Context& context, std::string_view id, const Cache* cache, std::vector<Warning>& warnings) {
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = context.file(level, id);
        if (!boAnythingAt(file) || (cache != nullptr && cache->levels.count(level) != 0)) {
            continue;
        }
        std::string reason = sReadProblemGet(file);
        warnings.push_back({level, file, reason.empty() ? "the store did not read it" : std::move(reason)});
    }
}

void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings) {
    for (const Warning& warning : warnings) {
        context.err << "vyr-classification " << context.command << ": warning: " << pathText(warning.path) << " (level "
                    << levelName(warning.level) << ") does not read: " << warning.message << '\n';
    }
}

int iDoneStatus(const std::vector<Warning>& warnings) { return warnings.empty() ? kExitSuccess : kExitWarned; }

} // namespace vyr::tool
