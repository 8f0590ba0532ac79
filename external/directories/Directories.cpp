#include "external/directories/Directories.h"

#include <system_error>
#include <utility>

namespace vyr {

DirectoriesInterface::~DirectoriesInterface() = default;

Directories& Directories::instance() {
    static Directories service;
    return service;
}

const DirectoriesInterface& Directories::getInstance() { return instance(); }

std::filesystem::path Directories::directoryWithSubfolder(const std::vector<std::filesystem::path>& folders,
                                                          const std::string& subfolder) {
    for (const std::filesystem::path& folder : folders) {
        std::error_code error;
        if (std::filesystem::is_directory(folder / subfolder, error)) {
            return folder;
        }
    }
    return folders.empty() ? std::filesystem::path() : folders.front();
}

void Directories::vSysDirectorySet(std::filesystem::path folder) { instance().sys_ = std::move(folder); }

void Directories::vSharedDirectoriesSet(std::vector<std::filesystem::path> folders) {
    instance().shared_ = std::move(folders);
}

void Directories::vUserDirectorySet(std::filesystem::path folder) { instance().user_ = std::move(folder); }

std::filesystem::path Directories::sysDirectoryGet() const { return sys_; }

const std::vector<std::filesystem::path>& Directories::sharedDirectoriesGet() const { return shared_; }

const std::filesystem::path& Directories::userDirectoryGet() const { return user_; }

} // namespace vyr
