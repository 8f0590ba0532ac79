// Reads arbitrary bytes as a mapping document. A read never crashes and
// never leaks; a refused document leaves the mapping as it was; an accepted
// one writes out and reads back to the same mapping, and writing that again
// gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

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

    std::ostringstream written;
    vCheck(XmlDocument(mapping).boWrite(written), "an accepted mapping can be written");

    Mapping again;
    std::istringstream writtenInput(written.str());
    vCheck(XmlDocument(again).boRead(writtenInput), "a written mapping reads back");
    vCheck(again == mapping, "a written mapping reads back to the same mapping");

    std::ostringstream rewritten;
    vCheck(XmlDocument(again).boWrite(rewritten), "a mapping read back can be written");
    vCheck(rewritten.str() == written.str(), "writing is deterministic");
    return 0;
}
