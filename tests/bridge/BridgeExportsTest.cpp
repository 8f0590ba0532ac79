// Loads the built bridge library the way a native host would and checks its
// export table: the two entry points and the node forwarder are there under
// their linkage names, and nothing else of the system's own namespaces is,
// apart from the store's outside face. The module is nothing of the bridge's:
// not exported, not named.

#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/common/ChildProcess.h"

namespace {

using vyr::test::commandLines;

const char* const kBridgePath = VYR_BRIDGE_PATH;
const char* const kFaceHeader = VYR_FACE_HEADER;

// The exports the system promises, by linkage name.
const std::array<const char*, 3> kPromisedExports = {
    // vyr::bridge::classification::vClassify, the classification run.
    "_ZN3vyr6bridge14classification9vClassifyERKNS_20DirectoriesInterfaceERNS1_12AdminWrapperERNS0_10definition12Ad"
    "minWrapperERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEESH_RKNS_5cache5LevelESL_SH_PNS_14classificati"
    "on33ClassificationUiCallbackInterfaceE",
    // vyr::bridge::classification::vClassify, the run over definition nodes.
    "_ZN3vyr6bridge14classification9vClassifyERKNS_20DirectoriesInterfaceERNS1_12AdminWrapperERNS0_10definition12Ad"
    "minWrapperERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_10definition4NodeE",
    // vyr::definition::Node::boHasChildren() const
    "_ZNK3vyr10definition4Node13boHasChildrenEv",
};

// The store's outside face, which the bridge library exports besides: every
// member of these classes, their virtual tables and type information.
const std::array<std::string_view, 3> kAllowedClassPrefixes = {
    "vyr::bridge::classification::AdminWrapper::",
    "vyr::classification::WriteAccess::",
    "vyr::cache::CacheWriteAccess<",
};

// Operations of the outside face that hosts call by name, checked one by
// one so that a new one cannot be left out of the table unnoticed.
const std::array<std::string_view, 24> kOutsideFaceEdits = {
    "vyr::classification::WriteAccess::boWriteBack()",
    "vyr::cache::CacheWriteAccess<vyr::classification::CacheLevels<vyr::cache::Level> >::failureGet() const",
    "vyr::bridge::classification::AdminWrapper::boRefresh(std::basic_string_view<char, std::char_traits<char> >, "
    "vyr::cache::Failure&)",
    "vyr::bridge::classification::AdminWrapper::boCreateClassification(std::__cxx11::basic_string<char, "
    "std::char_traits<char>, std::allocator<char> > const&, std::__cxx11::basic_string<char, "
    "std::char_traits<char>, std::allocator<char> > const&, std::__cxx11::basic_string<char, "
    "std::char_traits<char>, std::allocator<char> > const&, std::__cxx11::basic_string<char, "
    "std::char_traits<char>, std::allocator<char> > const&, std::__cxx11::basic_string<char, "
    "std::char_traits<char>, std::allocator<char> > const&, bool, bool, vyr::cache::Level const&, "
    "vyr::cache::Failure&)",
    "vyr::classification::WriteAccess::boLevelReplace(",
    "vyr::classification::WriteAccess::boLevelDocumentGet(",
    "vyr::bridge::classification::AdminWrapper::boRefresh(",
    "vyr::bridge::classification::AdminWrapper::changeCountGet(",
    "vyr::bridge::classification::AdminWrapper::changeDescriptorGet(",
    "vyr::bridge::classification::AdminWrapper::changedRefresh[abi:cxx11](",
    "vyr::bridge::classification::AdminWrapper::refreshWaitGet(",
    "vyr::bridge::classification::AdminWrapper::vPollIntervalSet(",
    "vyr::bridge::classification::AdminWrapper::watchesGet(",
    "vyr::bridge::classification::AdminWrapper::readFailuresGet",
    "vyr::bridge::classification::AdminWrapper::mappingsGet[abi:cxx11](",
    "vyr::bridge::classification::AdminWrapper::sourceCacheRead(",
    "vyr::bridge::classification::AdminWrapper::sourceWriteAccessGet(",
    "vyr::bridge::classification::AdminWrapper::vAdminKeepAtExit(",
    "vyr::classification::WriteAccess::boAddMapping(",
    "vyr::classification::WriteAccess::boSetMapping(",
    "vyr::classification::WriteAccess::vMappingRemove(",
    "vyr::classification::WriteAccess::vMappedToSourceRemove(",
    "vyr::classification::WriteAccess::vMappedToClassifiedRemove(",
    "vyr::classification::WriteAccess::vMappedToSourceInherit(",
};

// The rules the store publishes for the tool, a named part of the face:
// the tool links the bridge library alone and asks each of them there, so
// none may be left out of the table. Names that return text or a path are
// followed by an ABI tag, so only the name is matched.
const std::array<std::string_view, 13> kRulesForTheTool = {
    "vyr::bridge::classification::AdminWrapper::sTextProblemGet",
    "vyr::bridge::classification::AdminWrapper::sIdProblemGet",
    "vyr::bridge::classification::AdminWrapper::sIdLengthProblemGet",
    "vyr::bridge::classification::AdminWrapper::fileNameParse",
    "vyr::bridge::classification::AdminWrapper::levelFileNameGet",
    "vyr::bridge::classification::AdminWrapper::levelFolderGet",
    "vyr::bridge::classification::AdminWrapper::levelFilePathGet",
    "vyr::bridge::classification::AdminWrapper::levelFileProblemGet(",
    "vyr::bridge::classification::AdminWrapper::levelFileNoticesGet",
    "vyr::bridge::classification::AdminWrapper::fileBytesRead(",
    "vyr::bridge::classification::AdminWrapper::fileSystemKindGet(",
    "vyr::bridge::classification::AdminWrapper::lockRefusalGet(",
    "vyr::bridge::classification::AdminWrapper::sourceLevelsGet(",
};

// The words before a class name in the demangled names of its virtual
// table and type information.
const std::array<std::string_view, 6> kClassDataPrefixes = {
    "vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for ", "construction vtable for ", "guard variable for ",
};

std::string demangled(const std::string& name) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                           &std::free);
    return status == 0 && text ? std::string(text.get()) : name;
}

// The names nm lists for the library's dynamic symbol table with the given
// options, one per line; the name is the last field.
std::vector<std::string> dynamicSymbolsGet(const std::string& options) {
    std::vector<std::string> names;
    for (const std::string& line : commandLines("nm -D " + options + " '" + kBridgePath + "'")) {
        std::istringstream fields(line);
        std::string field;
        std::string last;
        while (fields >> field) {
            last = field;
        }
        if (!last.empty()) {
            names.push_back(last);
        }
    }
    return names;
}

// True when the symbol belongs to one of the system's namespaces (vyr,
// managed): an entity of theirs, or the virtual table, type information,
// guard variable or thunk of one. Instantiations of standard templates over
// the system's types belong to the standard library's namespace.
bool boIsOwnSymbol(std::string_view mangled) {
    if (!mangled.starts_with("_Z")) {
        return false;
    }
    mangled.remove_prefix(2);
    for (std::string_view special : {"TV", "TI", "TS", "TT", "GV"}) {
        if (mangled.starts_with(special)) {
            mangled.remove_prefix(special.size());
            break;
        }
    }
    // A thunk: "Th" and one offset, or "Tv" and two, each ending in '_'.
    const int offsets = mangled.starts_with("Th") ? 1 : mangled.starts_with("Tv") ? 2 : 0;
    for (int offset = 0; offset < offsets; ++offset) {
        const std::size_t end = mangled.find('_');
        mangled.remove_prefix(end == std::string_view::npos ? mangled.size() : end + 1);
    }
    // An entity local to a function is named after the function.
    if (mangled.starts_with("Z")) {
        mangled.remove_prefix(1);
    }
    if (mangled.starts_with("N")) {
        mangled.remove_prefix(1);
        while (!mangled.empty() && std::string_view("KVrRO").find(mangled.front()) != std::string_view::npos) {
            mangled.remove_prefix(1);
        }
    }
    return mangled.starts_with("3vyr") || mangled.starts_with("7managed");
}

bool boIsAllowed(const std::string& mangledName, const std::string& name) {
    for (const char* promised : kPromisedExports) {
        if (mangledName == promised) {
            return true;
        }
    }
    std::string_view subject = name;
    for (std::string_view prefix : kClassDataPrefixes) {
        if (subject.starts_with(prefix)) {
            subject.remove_prefix(prefix.size());
            break;
        }
    }
    // A class's own data names the class alone; its members follow "::".
    const std::string subjectAsScope = std::string(subject) + "::";
    for (std::string_view allowed : kAllowedClassPrefixes) {
        if (std::string_view(subjectAsScope).starts_with(allowed)) {
            return true;
        }
    }
    return false;
}

TEST(BridgeExports, PromisedFunctionsLoadFromTheBridgeLibrary) {
    // Everything must resolve at once, with no module in the
    // process.
    void* const bridge = ::dlopen(kBridgePath, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(bridge, nullptr) << ::dlerror();
    for (const char* name : kPromisedExports) {
        SCOPED_TRACE(demangled(name));
        void* const function = ::dlsym(bridge, name);
        ASSERT_NE(function, nullptr) << ::dlerror();
        Dl_info info{};
        ASSERT_NE(::dladdr(function, &info), 0);
        EXPECT_TRUE(std::filesystem::equivalent(info.dli_fname, kBridgePath)) << info.dli_fname;
    }
    EXPECT_EQ(::dlclose(bridge), 0);
}

TEST(BridgeExports, NothingElseOfTheSystemIsExported) {
    const std::vector<std::string> names = dynamicSymbolsGet("--defined-only");
    ASSERT_FALSE(names.empty());
    std::vector<std::string> found;
    std::vector<std::string> foundNames;
    for (const std::string& mangledName : names) {
        const std::string name = demangled(mangledName);
        if (boIsOwnSymbol(mangledName) && !boIsAllowed(mangledName, name)) {
            ADD_FAILURE() << "unexpected export: " << name;
        }
        found.push_back(mangledName);
        foundNames.push_back(name);
    }
    for (const char* promised : kPromisedExports) {
        EXPECT_NE(std::find(found.begin(), found.end(), promised), found.end()) << demangled(promised);
    }
    const auto exported = [&](std::string_view name) {
        return std::any_of(foundNames.begin(), foundNames.end(),
                           [&](const std::string& found) { return found.starts_with(name); });
    };
    for (const std::string_view edit : kOutsideFaceEdits) {
        EXPECT_TRUE(exported(edit)) << edit;
    }
    for (const std::string_view rule : kRulesForTheTool) {
        EXPECT_TRUE(exported(rule)) << "a rule the store publishes for the tool: " << rule;
    }
}

// The functions the C face's header declares, by name.
std::set<std::string> faceFunctionsDeclared() {
    std::ifstream header(kFaceHeader);
    EXPECT_TRUE(header.is_open()) << kFaceHeader;
    const std::regex declaration(R"(^VYR_FACE_API [^(]*\b(vyr_[a-z_]+)\()");
    std::set<std::string> names;
    std::smatch match;
    for (std::string line; std::getline(header, line);) {
        if (std::regex_search(line, match, declaration)) {
            names.insert(match[1]);
        }
    }
    return names;
}

TEST(BridgeExports, TheCFaceIsExportedExactlyAsItsHeaderDeclaresIt) {
    std::set<std::string> exported;
    for (const std::string& name : dynamicSymbolsGet("--defined-only")) {
        if (name.starts_with("vyr_")) {
            exported.insert(name);
        }
    }
    const std::set<std::string> declared = faceFunctionsDeclared();
    EXPECT_GT(declared.size(), 40U);
    EXPECT_EQ(exported, declared);
}

} // namespace
