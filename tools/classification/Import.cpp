// `import`: applies the pairs of an exported view to one level, under one
// lock and one write-back.

#include <iostream>
#include <iterator>

#include "tools/classification/Tool.h"

namespace vyr::tool {

namespace {

// The pairs of an exported view as `import` reads them: the output of
// `export` or `show --json`, an object whose "pairs" member is an array, or
// that array alone. Each pair is an object with a text "source" and a
// "classified" that is text or null (a null one lists the source id with no
// classified id); other members are passed over, and every id must be text
// that a mapping file can carry. Each source id with the classified ids
// listed for it, possibly none.
using Wanted = std::map<std::string, std::set<std::string>, std::less<>>;

using nlohmann::json;

// What a value is, for a message.
std::string kindOf(const json& value) {
    static const std::map<json::value_t, const char*> kKinds = {
        {json::value_t::null, "null"},       {json::value_t::boolean, "true or false"},
        {json::value_t::string, "text"},     {json::value_t::array, "an array"},
        {json::value_t::object, "an object"}, {json::value_t::binary, "binary data"}};
    const auto found = kKinds.find(value.type());
    return found == kKinds.end() ? "a number" : found->second;
}

// Adds one pair; what is wrong with it, or empty.
std::string sPairTake(const json& pair, Wanted& wanted) {
    if (!pair.is_object()) {
        return "it is " + kindOf(pair) + ", not an object";
    }
    const auto classified = pair.find("classified");
    if (classified != pair.end() && !classified->is_string() && !classified->is_null()) {
        return "its \"classified\" is " + kindOf(*classified) + ", not text or null";
    }
    const auto source = pair.find("source");
    if (source == pair.end()) {
        return "it has no \"source\" text";
    }
    if (!source->is_string()) {
        return "its \"source\" is " + kindOf(*source) + ", not text";
    }
    for (const auto& [name, member] : {std::pair("source", source), std::pair("classified", classified)}) {
        if (member != pair.end() && member->is_string()) {
            if (std::string problem = AdminWrapper::sTextProblemGet(member->get_ref<const std::string&>());
                !problem.empty()) {
                return std::string("its ") + name + " id: " + problem;
            }
        }
    }
    std::set<std::string>& listed = wanted[source->get<std::string>()];
    if (classified != pair.end() && classified->is_string()) {
        listed.insert(classified->get<std::string>());
    }
    return {};
}

// What an import changes at the level, counted against the level's sets.
struct Changes {
    std::size_t sources = 0; // source ids whose entry at the level changes
    std::size_t listed = 0;  // of them, source ids the level did not list
    std::size_t added = 0;
    std::size_t removed = 0;
};

// Counts what the import changes at the level; with an access that holds
// the level, makes those changes, and only those. Without one, stops at the
// first change: all that is asked then is whether there is any.
Changes changesApply(const Cache& cache, Level level, const Wanted& wanted, bool boReplace,
                     classification::WriteAccess* access) {
    static const std::set<std::string> kNone;
    Changes changes;
    for (const auto& [source, listed] : wanted) {
        const std::set<std::string>* atLevel = pLevelSetGet(cache, level, source);
        const std::set<std::string>& now = atLevel == nullptr ? kNone : *atLevel;
        // The set that the source id gets at the level: the listed set with
        // --replace; otherwise what it has there plus the listed ids, starting,
        // as `add` does, from the merged set when the level does not list it yet.
        const std::set<std::string>* seen = atLevel != nullptr ? atLevel : cache.merged.pClassifiedIdsGet(source);
        std::set<std::string> target = boReplace || seen == nullptr ? listed : *seen;
        target.insert(listed.begin(), listed.end());
        if (atLevel != nullptr && now == target) {
            continue;
        }
        ++changes.sources;
        if (access == nullptr) {
            break;
        }
        changes.listed += atLevel == nullptr ? 1 : 0;
        std::vector<std::string> adding;
        std::vector<std::string> removing;
        std::set_difference(target.begin(), target.end(), now.begin(), now.end(), std::back_inserter(adding));
        std::set_difference(now.begin(), now.end(), target.begin(), target.end(), std::back_inserter(removing));
        changes.added += adding.size();
        changes.removed += removing.size();
        for (const std::string& classified : adding) {
            (void)access->boAddMapping(source, classified, level);
        }
        for (const std::string& classified : removing) {
            access->vMappingRemove(source, classified, level);
        }
        if (atLevel == nullptr && target.empty()) {
            // Listed with no classified id: the outside face lists a source
            // id only by adding a pair, which is then taken out again.
            (void)access->boAddMapping(source, source, level);
            access->vMappingRemove(source, source, level);
        }
    }
    return changes;
}

// Reads the input whole and takes its pairs into `wanted`, before the
// store is touched; else the line says what is wrong: a syntax error names
// its line and column, a pair that is wrong its number. A pair whose
// "source" or "classified" is neither what it may be (text; text or null)
// is wrong. kExitSuccess, or kExitFailed.
int iWantedRead(const Context& context, Wanted& wanted) {
    const std::string& input = context.args.input;
    const auto fail = [&](const std::string& problem) {
        return context.iFail((input == "-" ? "standard input" : input) + ": " + problem + "; nothing changed");
    };
    std::string text;
    std::string reason;
    if (input == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!boFileBytesGet(input, text, reason)) {
        return context.iFail(input + " " + reason + "; nothing changed");
    }
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...", without the bracket.
        const std::string message = error.what();
        return fail(message.substr(message.find("] ") == std::string::npos ? 0 : message.find("] ") + 2));
    }
    const json& pairs = document.is_object() && document.contains("pairs") ? document.at("pairs") : document;
    if (!pairs.is_array()) {
        return fail(&pairs == &document ? "no \"pairs\" array" : "\"pairs\" is not an array");
    }
    for (std::size_t number = 0; number < pairs.size(); ++number) {
        if (std::string problem = sPairTake(pairs[number], wanted); !problem.empty()) {
            return fail("pair " + std::to_string(number + 1) + ": " + problem);
        }
    }
    return kExitSuccess;
}

int iImportRun(const Context& context) {
    Wanted wanted;
    if (const int status = iWantedRead(context, wanted); status != kExitSuccess) {
        return status;
    }
    EditSession session(context, *context.args.id, context.level());
    if (const int status = session.iOpen(); status != kExitSuccess) {
        return status;
    }
    const bool boReplace = context.args.boReplace;
    const std::string done = "import of " + std::to_string(wanted.size()) +
                             (wanted.size() == 1 ? " source id" : " source ids") + " into " +
                             displayText(session.id) + " at level " + std::string(levelName(session.level)) + ": ";
    if (changesApply(*session.cache, session.level, wanted, boReplace, nullptr).sources == 0) {
        context.out << done << "nothing changed (" << pathText(session.file) << ")\n";
        return iDoneStatus(session.warnings);
    }
    if (const int status = session.iLock(); status != kExitSuccess) {
        return status;
    }
    // Counted again under the lock, against the file as it is now.
    const Changes changes = changesApply(*session.cache, session.level, wanted, boReplace, &*session.access);
    if (const int status = session.iWriteBack(); status != kExitSuccess) {
        return status;
    }
    context.out << done << changes.sources << " changed (" << changes.added << (changes.added == 1 ? " pair" : " pairs")
                << " added, " << changes.removed << " removed; " << changes.listed << " newly listed) ("
                << pathText(session.file) << ")\n";
    return iDoneStatus(session.warnings);
}

void vImportDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id", &args.level)->required();
    app.add_option("FILE", args.input, "The JSON file; - or nothing reads standard input")
        ->type_name("")
        ->default_str("-");
    levelAdd(app, "--level", args.level, "The level to change; its file is written back", true)->required();
    app.add_flag("--replace", args.boReplace,
                 "Each listed source id gets exactly the listed set (default: the sets gain them)");
    vFooterSet(app,
               {"vyr-classification import materials --level user < user.json",
                "vyr-classification export materials --level user | vyr-classification import materials --level "
                "shared"},
               "\n\nReads 'export' or 'show --json' output (an object with a \"pairs\" array, or the array\n"
               "alone); only \"source\" and \"classified\" count. Without --replace, a source id that the\n"
               "level does not list yet starts from its merged set, as with 'add'. Source ids the file does\n"
               "not list are left as they are. The whole file is checked before anything is written, and\n"
               "the report says what changed; an import that changes nothing writes nothing.");
}

} // namespace

const Command kImportCommand{
    "import", "Apply the pairs of an exported JSON file to one level, under one lock and one write-back",
    vImportDeclare, iImportRun};

} // namespace vyr::tool
