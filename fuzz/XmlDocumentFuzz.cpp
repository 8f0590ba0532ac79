// Reads arbitrary bytes as a mapping document. A read never crashes and
// never leaks; a refused document leaves the mapping as it was; an accepted
// one reads the same when what it passes over is noted, writes out and reads
// back to the same mapping, and writing that again gives the same bytes. An
// accepted document patched toward the mapping it holds comes back
// unchanged; patched toward an edit of it, it reads as that edit, and a
// second patch toward the edit changes nothing more.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "external/classification/DocumentPatch.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "fuzz/FuzzCheck.h"

using vyr::classification::Mapping;
using vyr::classification::XmlDocument;
using vyr::fuzz::vCheck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // A mapping with content, so that a refused read that still touched it
    // shows.
    Mapping mapping("before", "t2", "t3", "t4", "t5", true, false);
    mapping.sourceToClassified["s"].insert("c");
    const Mapping before = mapping;

    std::istringstream input(bytes);
    XmlDocument document(mapping);
    if (!document.boRead(input)) {
        vCheck(mapping == before, "a refused document leaves the mapping unchanged");
        vCheck(!document.errorGet().empty(), "a refused document says why");
        return 0;
    }

    // Asking what the read passes over reads the same mapping.
    Mapping noted;
    std::vector<std::string> notices;
    std::istringstream notedInput(bytes);
    vCheck(XmlDocument(noted).boRead(notedInput, "id", notices) && noted == mapping,
           "a read that notes what it passes over reads the same mapping");

    std::ostringstream written;
    vCheck(XmlDocument(mapping).boWrite(written), "an accepted mapping can be written");

    Mapping again;
    std::istringstream writtenInput(written.str());
    vCheck(XmlDocument(again).boRead(writtenInput), "a written mapping reads back");
    vCheck(again == mapping, "a written mapping reads back to the same mapping");

    std::ostringstream rewritten;
    vCheck(XmlDocument(again).boWrite(rewritten), "a mapping read back can be written");
    vCheck(rewritten.str() == written.str(), "writing is deterministic");

    // An edit the bytes decide: the first source id loses its set, and a
    // source id of the input's length gains one.
    Mapping target = mapping;
    if (!target.sourceToClassified.empty()) {
        target.sourceToClassified.erase(target.sourceToClassified.begin());
    }
    target.sourceToClassified["s" + std::to_string(size % 7)].insert("c" + std::to_string(size % 5));
    std::string patched;
    std::string error;
    vCheck(vyr::classification::boDocumentPatch(bytes, mapping, patched, error) && patched == bytes,
           "an accepted document patched toward its own mapping comes back unchanged");
    vCheck(vyr::classification::boDocumentPatch(bytes, target, patched, error), "an accepted document patches");
    Mapping edited;
    std::istringstream patchedInput(patched);
    vCheck(XmlDocument(edited).boRead(patchedInput) && edited == target, "a patched document reads as the target");
    std::string repatched;
    vCheck(vyr::classification::boDocumentPatch(patched, target, repatched, error) && repatched == patched,
           "a patched document already holds the target");
    return 0;
}
