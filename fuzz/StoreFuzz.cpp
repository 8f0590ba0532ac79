// Drives the store through its outside face (AdminWrapper and the
// WriteAccess it hands out) with a sequence of operations decoded from the
// input: creation, every query, write access with locks and edits, admin
// resets, and changes made to the level files behind the store's back
// (valid documents, arbitrary bytes, cut documents, older and newer file
// times, files removed or replaced by folders). Ids include ones that must
// never become file paths.
//
// After every input: nothing crashed or leaked, the sentinel folder around
// the store's root holds the root alone, no file exists where an unsafe id
// would have led, every file lies directly in a level folder, and every file
// reads as a mapping document unless it still holds exactly the bytes the
// harness put there.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"
#include "fuzz/FuzzCheck.h"

namespace {

namespace fs = std::filesystem;
using vyr::bridge::classification::AdminWrapper;
using vyr::cache::Level;
using vyr::classification::Mapping;
using vyr::classification::XmlDocument;
using vyr::fuzz::vCheck;

// The first ids name files inside their level folder; the rest must never
// be turned into a path (the last one is not even valid UTF-8, so every
// operation on it throws std::system_error).
constexpr std::size_t kSafeIds = 4;
const std::array<std::string, 11> kIds = {
    "alpha", "beta.v2", "m.xml", "\xc3\xa9t\xc3\xa9",
    "../evil", "/abs", "", "a\\..\\..\\b", "../../../escape", "sub/../../x", "bad\xff\xfe",
};

// The folders of one fuzzing process: a sentinel folder that must only ever
// hold the root, and the three level folders the store derives from the
// directory service pointed into the root. Owns the sentinel folder and
// removes it at process exit. Used by the fuzzing thread only.
struct Sandbox {
    Sandbox() {
        sentinel = fs::temp_directory_path() / ("vyr-store-fuzz-" + std::to_string(::getpid()));
        fs::remove_all(sentinel);
        root = sentinel / "root";
        vyr::Directories::vSysDirectorySet(root / "sys");
        vyr::Directories::vSharedDirectoriesSet({root / "shared"});
        vyr::Directories::vUserDirectorySet(root / "user");
        levelFolders = {root / "sys" / "Resources" / "Classification", root / "shared" / "Classification",
                        root / "user" / "Classification"};
        for (const fs::path& folder : levelFolders) {
            for (std::size_t id = kSafeIds; id + 1 < kIds.size(); ++id) {
                fs::path target = folder / kIds[id];
                target += ".xml";
                escapeTargets.insert(target.lexically_normal());
            }
        }
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox() {
        std::error_code ignored;
        fs::remove_all(sentinel, ignored);
    }

    fs::path sentinel;
    fs::path root;
    std::array<fs::path, 3> levelFolders;
    // Where an unsafe id would lead if it were joined to a level folder.
    std::set<fs::path> escapeTargets;
};

// Set VYR_STORE_FUZZ_TRACE to see the operations of an input replayed by
// hand (store_fuzz crash-file).
bool boTrace() {
    static const bool trace = std::getenv("VYR_STORE_FUZZ_TRACE") != nullptr;
    return trace;
}

void vTrace(const char* operation, std::string_view id, std::string_view detail = {}) {
    if (boTrace()) {
        std::fprintf(stderr, "%s id='%.*s' %.*s\n", operation, static_cast<int>(id.size()), id.data(),
                     static_cast<int>(detail.size()), detail.data());
    }
}

Sandbox& sandbox() {
    static Sandbox instance;
    return instance;
}

std::string fileContent(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool boReadsAsMapping(const std::string& content) {
    Mapping mapping;
    std::istringstream in(content);
    return XmlDocument(mapping).boRead(in);
}

// One input's run: owns the decoder over the input and the wrapper it
// drives, and decodes operations until the input is used up. One thread.
class Session {
public:
    Session(const std::uint8_t* data, std::size_t size) : input(data, size) {}

    void vRun() {
        wrapper.emplace();
        for (int count = 0; count < 48 && input.remaining_bytes() > 0; ++count) {
            try {
                vOperation();
            } catch (const std::system_error&) {
                // An id that is not valid UTF-8: the store throws, and must
                // have released its lock on the way out.
            }
        }
        wrapper.reset();
    }

    // Files the harness wrote as arbitrary bytes, with those bytes.
    std::map<fs::path, std::string> rawFiles;

private:
    const std::string& idTake() { return kIds[input.ConsumeIntegralInRange<std::size_t>(0, kIds.size() - 1)]; }
    const std::string& safeIdTake() { return kIds[input.ConsumeIntegralInRange<std::size_t>(0, kSafeIds - 1)]; }
    // Mostly the three levels; now and then a value no level folder has.
    Level levelTake() { return static_cast<Level>(input.ConsumeIntegralInRange<std::int32_t>(0, 3)); }
    std::string textTake() { return input.ConsumeRandomLengthString(12); }

    fs::path levelFile(const std::string& id) {
        const auto level = input.ConsumeIntegralInRange<std::size_t>(0, 2);
        fs::path file = sandbox().levelFolders[level] / id;
        file += ".xml";
        return file;
    }

    Mapping mappingTake(const std::string& id) {
        Mapping mapping(id, textTake(), textTake(), textTake(), textTake(), input.ConsumeBool(), input.ConsumeBool());
        const int pairs = input.ConsumeIntegralInRange(0, 6);
        for (int pair = 0; pair < pairs; ++pair) {
            mapping.sourceToClassified[textTake()].insert(textTake());
        }
        return mapping;
    }

    void vOperation() {
        switch (input.ConsumeIntegralInRange(0, 8)) {
            case 0: vCreate(); break;
            case 1: vQueries(); break;
            case 2:
            case 3: vWriteAccess(); break;
            case 4:
                vTrace("reset", "");
                wrapper.reset();
                AdminWrapper::vAdminReset();
                wrapper.emplace();
                break;
            case 5: vDocumentPut(); break;
            case 6: vRawPut(); break;
            case 7: vTimeSet(); break;
            default: vFileReplace(); break;
        }
    }

    void vCreate() {
        const std::string& id = idTake();
        const std::string text2 = textTake();
        const std::string text3 = textTake();
        const bool flag1 = input.ConsumeBool();
        const Level level = levelTake();
        vTrace("create", id, std::to_string(level));
        (void)wrapper->boCreateClassification(id, text2, text3, "t4", "t5", flag1, !flag1, level);
    }

    void vQueries() {
        const std::string& id = idTake();
        const std::string source = textTake();
        const std::string classified = textTake();
        vTrace("queries", id);
        (void)wrapper->boClassificationExists(id);
        (void)wrapper->sText2Get(id);
        (void)wrapper->sText3Get(id);
        (void)wrapper->sText4Get(id);
        (void)wrapper->sText5Get(id);
        (void)wrapper->sText6Get(id);
        (void)wrapper->boMappingExists(id, source, classified);
        // The sets are read through at once, so the sanitizer sees any
        // pointer into freed memory.
        std::size_t bytes = 0;
        for (const std::set<std::string>* found :
             {wrapper->pClassifiedIdsGet(id, source), wrapper->pSourceIdsGet(id, classified)}) {
            if (found != nullptr) {
                for (const std::string& item : *found) {
                    bytes += item.size();
                }
            }
        }
        vCheck(bytes < (std::size_t{1} << 40), "the sets are readable");
        (void)wrapper->sClassifiedIdGet(id, source);
        (void)wrapper->sSourceIdGet(id, classified);
        const auto* cache = wrapper->cachesGet(id);
        vCheck(cache != nullptr, "cachesGet never returns null");
    }

    void vWriteAccess() {
        const std::string& id = idTake();
        vTrace("writeAccessGet", id);
        auto access = wrapper->writeAccessGet(id);
        const int steps = input.ConsumeIntegralInRange(0, 10);
        for (int step = 0; step < steps; ++step) {
            const int operation = input.ConsumeIntegralInRange(0, 5);
            const Level level = levelTake();
            const std::string source = textTake();
            const std::string classified = textTake();
            if (boTrace()) {
                static constexpr const char* kNames[] = {"lock", "add", "set", "remove", "removeSource",
                                                         "removeClassified"};
                vTrace(kNames[operation], id,
                       std::to_string(level) + " '" + source + "' '" + classified + "'");
            }
            switch (operation) {
                case 0: (void)access.boLockFile(level); break;
                case 1: (void)access.boAddMapping(source, classified, level); break;
                case 2: (void)access.boSetMapping(source, classified, level); break;
                case 3: access.vMappingRemove(source, classified, level); break;
                case 4: access.vMappedToSourceRemove(source, level); break;
                default: access.vMappedToClassifiedRemove(classified, level); break;
            }
        }
        vTrace("destroy", id);
        // Destruction writes back every locked level.
    }

    // A whole document written behind the store's back, as another program
    // would.
    void vDocumentPut() {
        const std::string& id = safeIdTake();
        const fs::path file = levelFile(id);
        fs::create_directories(file.parent_path());
        Mapping mapping = mappingTake(id);
        vTrace("documentPut", id, file.native());
        if (XmlDocument(mapping).boWrite(file.string())) {
            rawFiles.erase(file);
        }
    }

    // Arbitrary bytes, or a document cut short, as a level file.
    void vRawPut() {
        const std::string& id = safeIdTake();
        const fs::path file = levelFile(id);
        std::string content;
        if (input.ConsumeBool()) {
            content = input.ConsumeRandomLengthString(256);
        } else {
            Mapping mapping = mappingTake(id);
            std::ostringstream out;
            (void)XmlDocument(mapping).boWrite(out);
            content = out.str();
            content.resize(input.ConsumeIntegralInRange<std::size_t>(0, content.size()));
        }
        fs::create_directories(file.parent_path());
        std::error_code error;
        if (fs::is_directory(file, error)) {
            return;
        }
        vTrace("rawPut", id, file.native() + " " + std::to_string(content.size()) + " bytes");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        rawFiles[file] = content;
    }

    void vTimeSet() {
        const fs::path file = levelFile(safeIdTake());
        const auto offset = std::chrono::seconds(input.ConsumeIntegralInRange(-100, 100));
        vTrace("timeSet", file.native(), std::to_string(offset.count()));
        std::error_code ignored;
        fs::last_write_time(file, fs::file_time_type::clock::now() + offset, ignored);
    }

    // Removes a level file, or puts a folder in its place.
    void vFileReplace() {
        const fs::path file = levelFile(safeIdTake());
        std::error_code ignored;
        fs::remove_all(file, ignored);
        rawFiles.erase(file);
        const bool folder = input.ConsumeBool();
        vTrace(folder ? "folderPut" : "remove", file.native());
        if (folder) {
            fs::create_directories(file, ignored);
        }
    }

    FuzzedDataProvider input;
    std::optional<AdminWrapper> wrapper;
};

void vCheckFiles(const Session& session) {
    const Sandbox& box = sandbox();
    std::vector<fs::path> inSentinel;
    for (const auto& entry : fs::directory_iterator(box.sentinel)) {
        inSentinel.push_back(entry.path());
    }
    vCheck(inSentinel.size() == 1 && inSentinel.front() == box.root, "the sentinel folder holds the root alone");

    for (const fs::path& target : box.escapeTargets) {
        std::error_code error;
        const bool there = fs::symlink_status(target, error).type() != fs::file_type::not_found;
        if (there) {
            std::fprintf(stderr, "file where an unsafe id leads: %s\n", target.c_str());
        }
        vCheck(!there, "no file where an unsafe id would lead");
    }

    for (const auto& entry : fs::recursive_directory_iterator(box.root)) {
        if (entry.is_directory()) {
            continue;
        }
        const fs::path& file = entry.path();
        bool inLevelFolder = false;
        for (const fs::path& folder : box.levelFolders) {
            inLevelFolder = inLevelFolder || file.parent_path() == folder;
        }
        if (!inLevelFolder) {
            std::fprintf(stderr, "file outside the level folders: %s\n", file.c_str());
        }
        vCheck(inLevelFolder, "every file lies in a level folder");
        vCheck(entry.is_regular_file(), "the store makes nothing but regular files");
        if (file.extension() == ".lock") {
            // The empty file that carries a level file's lock between processes.
            vCheck(fs::file_size(file) == 0, "a lock file stays empty");
            continue;
        }

        const std::string content = fileContent(file);
        const auto raw = session.rawFiles.find(file);
        const bool untouched = raw != session.rawFiles.end() && raw->second == content;
        if (!untouched && !boReadsAsMapping(content)) {
            std::fprintf(stderr, "unreadable file %s (%zu bytes):\n%.400s\n", file.c_str(), content.size(),
                         content.c_str());
            vCheck(false, "every file the store wrote reads as a mapping document");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Sandbox& box = sandbox();
    AdminWrapper::vAdminReset();
    std::error_code ignored;
    fs::remove_all(box.root, ignored);
    fs::create_directories(box.root);

    Session session(data, size);
    vyr::assert::Assert::vClear();
    vyr::assert::Assert::vEnable(size > 0 && (data[0] & 1U) != 0);
    session.vRun();
    vyr::assert::Assert::vEnable(false);
    vyr::assert::Assert::vClear();

    vCheckFiles(session);
    AdminWrapper::vAdminReset();
    return 0;
}
