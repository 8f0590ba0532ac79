#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"

#include <fstream>
#include <system_error>

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

// Writes the level's mapping from the start of the locked file, flushes it,
// and only then cuts the file to the written length, so the document becomes
// the file's whole content and no tail of a longer old one remains. The file
// was not truncated when it was locked: a level that is skipped here keeps
// its file as it was. The stamp is read after the flush and the cut, so the
// store does not later re-read its own write.
void WriteAccess::vWriteBack(Level level, std::fstream& stream) {
    const auto found = cache->levels.find(level);
    if (found == cache->levels.end()) {
        return;
    }
    const XmlDocument document(found->second);
    stream.clear();
    stream.seekp(0);
    // A document the format refuses is not written at all: the file must
    // then not be cut either.
    const bool boWritten = document.boWrite(stream);
    stream.flush();
    Records& records = *fileRecords;
    if (boWritten && stream.good()) {
        const std::streamoff length = stream.tellp();
        if (length >= 0) {
            std::error_code ignored;
            std::filesystem::resize_file(records[level].filePath, static_cast<std::uintmax_t>(length), ignored);
        }
    }
    utilities::vLastWriteUpdate(records, level);
}

bool WriteAccess::boAddMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boAddMapping");
    if (!locked) {
        return false;
    }
    cache->getOrCreate(level).vMappingAdd(sourceId, classifiedId);
    cache->vChanged();
    return true;
}

bool WriteAccess::boSetMapping(const std::string& sourceId, const std::string& classifiedId, Level level) {
    const bool locked = boIsLocked(level);
    VYR_ASSERT(locked, "File isn't locked", "vyr::classification::WriteAccess::boSetMapping");
    if (!locked) {
        return false;
    }
    cache->getOrCreate(level).vMappingSet(sourceId, classifiedId);
    cache->vChanged();
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
    // Something that cannot be read may still be there (a folder, a file
    // without read access): never replace it.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(filePath, error);
    if (status.type() != std::filesystem::file_type::not_found) {
        return;
    }
    if (cache->levels.empty()) {
        VYR_ASSERT(!cache->levels.empty(), "No cached definition in lower level",
                   "vyr::classification::WriteAccess::vCreateFileIfNotAtLevel");
        return;
    }
    const Mapping& highest = cache->levels.rbegin()->second;
    const Mapping header(highest.sId, highest.sText2, highest.sText3, highest.sText4, highest.sText5,
                         highest.boFlag1, highest.boFlag2);
    Mapping& created = cache->mappingAtLevel(level);
    created.vSet(header);
    const XmlDocument document(created);
    if (document.boWrite(str::utf8FromPath(filePath))) {
        utilities::vLastWriteUpdate(*fileRecords, level);
    }
}

} // namespace vyr::classification
