#pragma once

// Small helpers shared by the tests: a temporary folder per test, file
// contents and times, and a scope that enables the assertion sink and
// collects what it receives.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// A name for the temporary file through which the file at the path is
// written, as the store names its own.
inline std::string temporaryNameFor(const std::filesystem::path& file) {
    return cache::temporaryFileName(file.filename().string(), cache::temporaryUniqueGet());
}

// Writes the mapping as a mapping file at the path (folders created).
inline bool writeMapping(const std::filesystem::path& file, classification::Mapping mapping) {
    std::filesystem::create_directories(file.parent_path());
    const classification::XmlDocument document(mapping);
    return document.boWrite(file.string(), temporaryNameFor(file));
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

} // namespace vyr::test
