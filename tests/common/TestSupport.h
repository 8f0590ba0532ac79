#pragma once

// Small helpers shared by the tests: a temporary folder per test, file
// contents and times, snapshots of a folder tree, a scope that puts the
// platform's system calls back, and a scope that enables the assertion sink
// and collects what it receives.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "assert/AssertInfoWrapper.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/platform/SystemCalls.h"

namespace vyr::test {

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() /
                ("vyr-test-" + std::to_string(::getpid()) + "-" + std::to_string(stamp) + "-" +
                 std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& file, std::string_view content) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes the mapping as a mapping file at the path (folders created).
inline bool writeMapping(const std::filesystem::path& file, classification::Mapping mapping) {
    std::filesystem::create_directories(file.parent_path());
    const classification::XmlDocument document(mapping);
    return document.boWrite(file.string());
}

// Reads a mapping file; false when it does not read.
inline bool readMapping(const std::filesystem::path& file, classification::Mapping& mapping) {
    std::ifstream in(file, std::ios::binary);
    classification::XmlDocument document(mapping);
    return document.boRead(in);
}

// Moves the file's last-write time by the given offset from now, so that
// tests order file times without sleeping.
inline void setFileTime(const std::filesystem::path& file, std::chrono::seconds fromNow) {
    std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() + fromNow);
}

// Midnight UTC of the day.
inline std::chrono::sys_seconds utc(int year, unsigned month, unsigned day) {
    return std::chrono::sys_days(std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(day));
}

// Sets the file's last-write time to the given UTC time.
inline void setFileTimeUtc(const std::filesystem::path& file, std::chrono::sys_seconds time) {
    std::filesystem::last_write_time(
        file, std::chrono::time_point_cast<std::filesystem::file_time_type::duration>(
                  std::chrono::file_clock::from_sys(time)));
}

// One entry of a folder snapshot: a file's content and last-write time, or
// "<folder>" for a folder (whose time changes whenever a name is made and
// removed in it, so it is not kept).
struct SnapshotEntry {
    std::string content;
    std::filesystem::file_time_type lastWrite{};
    bool operator==(const SnapshotEntry&) const = default;
};
using Snapshot = std::map<std::filesystem::path, SnapshotEntry>;

// What a snapshot leaves out: nothing, or folders and lock files, which
// the store makes (the level folders on first use, a lock file beside each
// level file it locks) and keeps.
enum class SnapshotOmits { Nothing, FoldersAndLockFiles };

// Every file and folder below the root, by relative path. Two equal
// snapshots mean nothing was created, removed or written in that tree.
inline Snapshot snapshotOf(const std::filesystem::path& root, SnapshotOmits omits = SnapshotOmits::Nothing) {
    Snapshot snapshot;
    const bool boFilesOnly = omits == SnapshotOmits::FoldersAndLockFiles;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::filesystem::path name = entry.path().lexically_relative(root);
        if (entry.is_directory()) {
            if (!boFilesOnly) {
                snapshot[name] = {"<folder>", {}};
            }
        } else if (!boFilesOnly || entry.path().extension() != ".lock") {
            snapshot[name] = {readFile(entry.path()), std::filesystem::last_write_time(entry.path())};
        }
    }
    return snapshot;
}

// Puts the platform's system calls back when a test that replaced some ends.
struct SystemCallsRestore {
    SystemCallsRestore() = default;
    SystemCallsRestore(const SystemCallsRestore&) = delete;
    SystemCallsRestore& operator=(const SystemCallsRestore&) = delete;
    ~SystemCallsRestore() { platform::vSystemCallsReset(); }
};

// Enables the assertion sink for its lifetime and collects the records;
// disables and clears it on the way out.
class AssertCapture {
public:
    explicit AssertCapture(bool boEnabled = true) {
        assert::Assert::vClear();
        assert::Assert::vEnable(boEnabled);
    }
    AssertCapture(const AssertCapture&) = delete;
    AssertCapture& operator=(const AssertCapture&) = delete;
    ~AssertCapture() {
        assert::Assert::vEnable(false);
        assert::Assert::vClear();
    }

    [[nodiscard]] std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const auto& record : assert::Assert::recordsGet()) {
            result.emplace_back(record->message());
        }
        return result;
    }
    [[nodiscard]] std::vector<std::string> functions() const {
        std::vector<std::string> result;
        for (const auto& record : assert::Assert::recordsGet()) {
            result.emplace_back(record->function());
        }
        return result;
    }
    [[nodiscard]] std::size_t count() const { return assert::Assert::recordsGet().size(); }
    void clear() const { assert::Assert::vClear(); }
};

// A record the sink kept, as plain values.
struct Report {
    std::string message;
    std::string function;
    std::string fileName;
    std::int32_t type;
    bool operator==(const Report&) const = default;
};

// The records the sink kept, in order.
inline std::vector<Report> reportsGet() {
    std::vector<Report> reports;
    for (const auto& record : assert::Assert::recordsGet()) {
        reports.push_back({std::string(record->message()), std::string(record->function()),
                           std::string(record->fileName()), static_cast<std::int32_t>(record->type())});
    }
    return reports;
}

} // namespace vyr::test
