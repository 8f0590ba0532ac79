#include "external/classification/XmlDocument.h"

#include <pugixml.hpp>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "external/classification/DocumentReading.h"
#include "external/classification/DocumentWriting.h"
#include "external/platform/FileSystem.h"
#include "external/str/Utf.h"

namespace vyr::classification {
namespace {

using namespace format;

// Bytes read whole, in a buffer that is not cleared before it is filled.
struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;

    [[nodiscard]] std::string_view viewGet() const noexcept { return {data.get(), size}; }
};

// The rest of the stream from its position, read in large blocks. False on
// a stream that is failed before or broken while reading. A seekable stream
// announces its size, so a file is usually read in one block; the
// announcement is only a hint (folders and devices report odd sizes), and a
// huge one is ignored rather than allocated up front.
bool boReadAll(std::istream& stream, Bytes& bytes) {
    constexpr std::size_t kLargestHint = std::size_t{1} << 26;
    std::size_t expected = 0;
    if (std::streambuf* const source = stream.rdbuf()) {
        const auto start = source->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
        if (start != std::streampos(-1)) {
            const auto end = source->pubseekoff(0, std::ios_base::end, std::ios_base::in);
            if (end != std::streampos(-1) && source->pubseekpos(start, std::ios_base::in) == start && end > start) {
                const auto announced = static_cast<std::size_t>(end - start);
                expected = announced <= kLargestHint ? announced : 0;
            }
        }
    }
    // One byte more than expected, so that a stream of the announced size
    // ends within the first block.
    constexpr std::size_t kMinimumBlock = 64 * 1024;
    std::size_t capacity = expected + 1 > kMinimumBlock ? expected + 1 : kMinimumBlock;
    bytes.data = std::make_unique_for_overwrite<char[]>(capacity);
    bytes.size = 0;
    for (;;) {
        stream.read(bytes.data.get() + bytes.size, static_cast<std::streamsize>(capacity - bytes.size));
        bytes.size += static_cast<std::size_t>(stream.gcount());
        if (!stream) {
            break;
        }
        auto larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
        std::memcpy(larger.get(), bytes.data.get(), bytes.size);
        bytes.data = std::move(larger);
        capacity *= 2;
    }
    return !stream.bad();
}

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

} // namespace

bool XmlDocument::boTextStorable(std::string_view text) noexcept { return format::boTextStorable(text); }

std::string XmlDocument::sTextProblemGet(std::string_view text, std::string_view what) {
    return format::textProblem(text, what);
}

bool XmlDocument::boRead(std::istream& stream) { return boReadNoting(stream, nullptr); }

bool XmlDocument::boRead(std::istream& stream, std::string_view expectedId, std::vector<std::string>& notices) {
    format::Notes notes{expectedId, {}};
    const bool boRead = boReadNoting(stream, &notes);
    notices = std::move(notes.lines);
    return boRead;
}

bool XmlDocument::boReadSource(std::string_view bytes, std::string_view sourceId, SourceListing* listing) {
    error_.clear();
    std::unique_ptr<char[]> buffer;
    pugi::xml_document document;
    Mapping read;
    if (!boParseDocument(bytes, buffer, kReadOptions, document, read, error_, nullptr, &sourceId, listing)) {
        return false;
    }
    mapping_ = std::move(read);
    return true;
}

bool XmlDocument::boReadNoting(std::istream& stream, format::Notes* notes) {
    error_.clear();
    if (!stream) {
        error_ = "the stream is not readable";
        return false;
    }
    Bytes bytes;
    if (!boReadAll(stream, bytes)) {
        error_ = joined({"reading the stream failed after ", std::to_string(bytes.size), " bytes"});
        return false;
    }
    std::unique_ptr<char[]> buffer;
    pugi::xml_document document;
    Mapping read;
    if (!boParseDocument(bytes.viewGet(), buffer, kReadOptions, document, read, error_, notes)) {
        return false;
    }
    mapping_ = std::move(read);
    return true;
}

// The whole document of the bound mapping into `bytes`; false, with the
// reason, for a mapping the format cannot carry.
bool XmlDocument::boRender(std::string& bytes) const {
    error_.clear();
    if (std::string problem = mappingProblem(mapping_); !problem.empty()) {
        error_ = std::move(problem);
        return false;
    }
    vAppendDocument(bytes, mapping_);
    return true;
}

bool XmlDocument::boWrite(std::string_view path) const {
    error_.clear();
    const std::filesystem::path target = str::pathFromUtf8(path);
    const std::filesystem::path name = target.filename();
    if (name.empty() || name == "." || name == "..") {
        error_ = joined({"'", path, "' does not name a file"});
        return false;
    }
    std::string bytes;
    if (!boRender(bytes)) {
        return false;
    }
    // A temporary file in the target's folder, synced and renamed over the
    // target, then the folder synced: the target holds the old document or
    // the whole new one. Replacing a file keeps its owner, group,
    // permissions and extended attributes.
    platform::Folder folder;
    const std::filesystem::path parent = target.parent_path();
    if (const int error = folder.open(parent.empty() ? std::filesystem::path(".") : parent,
                                      parent.empty() ? std::filesystem::path(".") / name : target);
        error != 0) {
        error_ = joined({"cannot open the folder of '", path, "': ", errnoText(error)});
        return false;
    }
    const platform::FileProbe existing = folder.probe(folder.nameGet());
    platform::PendingFile pending;
    std::string_view kept;
    int error = pending.create(folder);
    if (error == 0 && existing.kind == platform::FileKind::Regular) {
        error = pending.attributesTake(folder.nameGet(), existing.stamp, kept);
    }
    if (error == 0) {
        error = pending.write(bytes);
    }
    bool boPublished = false;
    if (error == 0) {
        error = pending.publish(folder.nameGet(), true, boPublished);
    }
    if (error != 0) {
        error_ = joined({"writing '", path, "' failed: ", errnoText(error)});
        return false;
    }
    return true;
}

bool XmlDocument::boWrite(std::ostream& stream) const {
    std::string bytes;
    if (!boRender(bytes)) {
        return false;
    }
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    stream.flush();
    if (!stream.good()) {
        error_ = "the stream failed while writing";
        return false;
    }
    return true;
}

} // namespace vyr::classification
