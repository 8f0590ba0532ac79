#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "external/platform/Export.h"

namespace vyr {

// The folders a component of the system may use: the system folder, the
// list of shared folders and the user folder.
class VYR_EXPORT DirectoriesInterface {
public:
    virtual ~DirectoriesInterface();
    virtual std::filesystem::path sysDirectoryGet() const = 0;
    virtual const std::vector<std::filesystem::path>& sharedDirectoriesGet() const = 0;
    virtual const std::filesystem::path& userDirectoryGet() const = 0;
};

// The process-wide directory service. A host sets its folders before first
// use; until then all three are empty (an empty system folder, no shared
// folder, an empty user folder), which makes every derived folder relative
// to the working directory. Thread-compatible: setting the folders must not
// run concurrently with a reader, and the references handed out stay valid
// until the next set.
class VYR_EXPORT Directories final : public DirectoriesInterface {
public:
    static const DirectoriesInterface& getInstance();

    // The first folder of the list that holds a subfolder of that name; if
    // none does, the first folder of the list; an empty list gives an empty
    // path.
    static std::filesystem::path directoryWithSubfolder(const std::vector<std::filesystem::path>& folders,
                                                        const std::string& subfolder);

    static void vSysDirectorySet(std::filesystem::path folder);
    static void vSharedDirectoriesSet(std::vector<std::filesystem::path> folders);
    static void vUserDirectorySet(std::filesystem::path folder);

    std::filesystem::path sysDirectoryGet() const override;
    const std::vector<std::filesystem::path>& sharedDirectoriesGet() const override;
    const std::filesystem::path& userDirectoryGet() const override;

private:
    Directories() = default;
    static Directories& instance();

    std::filesystem::path sys_;
    std::vector<std::filesystem::path> shared_;
    std::filesystem::path user_;
};

} // namespace vyr
