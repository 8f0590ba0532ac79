#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

#include "Source/Core/Utilities/Cache/CacheFilesWithLevels.h"
#include "assert/Check.h"
#include "external/classification/XmlDocument.h"
#include "external/str/Utf.h"

namespace vyr::cache {
template class CacheWriteAccess<classification::CacheLevels<Level>>;
} // namespace vyr::cache

namespace vyr::classification {

WriteAccess::~WriteAccess() {
    for (auto& [level, stream] : lockedFiles) {
        VYR_ASSERT(stream != nullptr, "No file locked", "vyr::classification::WriteAccess::~WriteAccess");
        if (stream != nullptr) {
            vWriteBack(level, *stream);
        }
    }
}

// Writes the level's mapping back into its locked file so that, whenever the
// process dies, the file holds either its old document or the new one:
// - the document is made in memory first; a mapping that the format cannot
//   carry leaves the file as it was;
// - the old content is kept in memory, to be put back when the write fails
//   part way (a full disk, a file size limit);
// - a document shorter than the old content is padded with spaces, which
//   XML allows after the root element, to the old length and written with
//   one call: no tail of the old document ever follows the new one;
// - only after the flush is the padding cut off, so that the document
//   becomes the file's whole content. The cut goes by path; it is made only
//   while the file there still has the length just written, so a file that
//   another program put in its place meanwhile is not cut.
// The file was not truncated when it was locked: a level skipped here keeps
// its file as it was. The stamp is read after the flush and the cut, so the
// store does not later re-read its own write.
void WriteAccess::vWriteBack(Level level, std::fstream& stream) {
    const auto found = cache->levels.find(level);
    if (found == cache->levels.end()) {
        return;
    }
    Records& records = *fileRecords;
    std::ostringstream rendered;
    const XmlDocument document(found->second);
    if (document.boWrite(rendered)) {
        vContentReplace(stream, std::move(rendered).str(), records[level].filePath);
    }
    utilities::vLastWriteUpdate(records, level);
}

void WriteAccess::vContentReplace(std::fstream& stream, std::string content, const std::filesystem::path& filePath) {
    stream.clear();
    std::string previous;
    bool boPreviousKnown = false;
    if (stream.seekg(0, std::ios::end)) {
        const std::streamoff size = stream.tellg();
        if (size >= 0 && stream.seekg(0)) {
            previous.resize(static_cast<std::size_t>(size));
            stream.read(previous.data(), size);
            boPreviousKnown = stream.gcount() == size;
        }
    }
    stream.clear();

    const std::size_t length = content.size();
    if (boPreviousKnown && length < previous.size()) {
        content.resize(previous.size(), ' ');
    }
    stream.seekp(0);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    stream.flush();

    std::error_code error;
    if (stream.good()) {
        if (!boPreviousKnown) {
            std::filesystem::resize_file(filePath, length, error);
        } else if (content.size() != length && std::filesystem::file_size(filePath, error) == content.size() &&
                   !error) {
            std::filesystem::resize_file(filePath, length, error);
        }
        return;
    }
    if (!boPreviousKnown) {
        return;
    }
    // The write was cut short: put the old content back over what the
    // failed write left of the new one.
    stream.clear();
    stream.seekp(0);
    stream.write(previous.data(), static_cast<std::streamsize>(previous.size()));
    stream.flush();
    if (stream.good()) {
        const std::uintmax_t size = std::filesystem::file_size(filePath, error);
        if (!error && size > previous.size()) {
            std::filesystem::resize_file(filePath, previous.size(), error);
        }
    }
}

bool WriteAccess::boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boAddMapping");
    if (!locked) {
        return false;
    }
    cache->getOrCreate(level).vMappingAdd(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

bool WriteAccess::boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boSetMapping");
    if (!locked) {
        return false;
    }
    cache->getOrCreate(level).vMappingSet(sourceId, classifiedId);
    cache->vSourceRefresh(sourceId); // a rebuild when the level was just created
    return true;
}

void WriteAccess::vMappingRemove(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappingRemove");
    if (locked) {
        cache->vMappingRemove(sourceId, classifiedId, level);
    }
}

void WriteAccess::vMappedToSourceRemove(const std::string& sourceId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappedToSourceRemove");
    if (locked) {
        cache->vMappedToSourceRemove(sourceId, level);
    }
}

void WriteAccess::vMappedToClassifiedRemove(const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::vMappedToClassifiedRemove");
    if (locked) {
        cache->vMappedToClassifiedRemove(classifiedId, level);
    }
}

void WriteAccess::vCreateFileIfNotAtLevel(const Level& level) {
    if (cache == nullptr || fileRecords == nullptr) {
        return; // moved from
    }
    const std::filesystem::path filePath = (*fileRecords)[level].filePath;
    if (filePath.empty()) {
        return; // the id names no file inside the level folder
    }
    {
        const std::ifstream probe(filePath);
        if (probe.good()) {
            return;
        }
    }
    if (cache->levels.empty()) {
        VYR_ASSERT(!cache->levels.empty(), "No cached definition in lower level",
                   "vyr::classification::WriteAccess::vCreateFileIfNotAtLevel");
        return;
    }
    // Something that cannot be read may still be there (a folder, a file
    // without read access): never replace it.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(filePath, error);
    if (status.type() != std::filesystem::file_type::not_found) {
        return;
    }
    const Mapping& highest = cache->levels.rbegin()->second;
    const Mapping header(highest.sId, highest.sText2, highest.sText3, highest.sText4, highest.sText5,
                         highest.boFlag1, highest.boFlag2);
    Mapping& created = cache->mappingAtLevel(level);
    created.vSet(header);
    cache->vChangePendingMark(); // the merged view is left as it was: stale until the next rebuild
    const XmlDocument document(created);
    if (document.boWrite(str::utf8FromPath(filePath))) {
        utilities::vLastWriteUpdate(*fileRecords, level);
    }
}

} // namespace vyr::classification
