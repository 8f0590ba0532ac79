// The commands that write: the six edits of one pair or source id at one
// level, each a row of one table (its check, its action and its message),
// `create`, `classify`, `import` and the hand edit `edit`.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <locale>

#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"
#include "external/str/Utf.h"
#include "tools/classification/Tool.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// What an edit sees: the level's own set of the source id (null when the
// level does not list it) and the ids. Points into the session and the
// arguments.
struct EditView {
    const EditSession& session;
    const std::set<std::string>* atLevel;
    const std::string& source;
    const std::string& classified;
};

using Access = classification::WriteAccess;

// One kind of edit: its name and help, what it takes, and side by side its check
// (whether it would change nothing at the level), its action under the
// lock, and its two messages, where {id}, {source}, {classified} and
// {level} stand for what they name.
struct EditKind {
    const char* name;
    const char* description;
    bool boSource;
    bool boClassified;
    bool boClassifiedOptional;
    bool boSourceListed; // SOURCE must be listed at some level (else kExitNotListed)
    const char* example;
    const char* more;
    bool (*boUnchanged)(const EditView&);
    void (*apply)(Access&, const EditView&);
    const char* unchanged;
    const char* done;
};

bool boHas(const EditView& v) { return v.atLevel != nullptr && v.atLevel->count(v.classified) != 0; }

// The pairs of an exported view as `import` reads them: the output of
// `export` or `show --json`, an object whose "pairs" member is an array, or
// that array alone. Each pair is an object with a text "source" and a
// "classified" that is text or null (a null one lists the source id with no
// classified id); other members are passed over, and every id must be text
// that a mapping file can carry. Each source id with the classified ids
// listed for it, possibly none.
using Wanted = std::map<std::string, std::set<std::string>, std::less<>>;

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
Changes changesApply(const Cache& cache, Level level, const Wanted& wanted, bool boReplace, Access* access) {
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

// Removals look at the level itself: the merged view may take a pair from
// another level, which the edit does not touch.
const std::array<EditKind, 6> kEdits = {{
    {"add", "Add a pair at a level: the source id keeps what it shows now and gains CLASSIFIED",
     true, true, false, false, "vyr-classification add materials bolt zinc --level user",
     "\n\nA level that does not list SOURCE yet starts from the set that 'show' prints for it\n"
     "(the merged set), adds CLASSIFIED, and decides SOURCE from then on. While a level file\n"
     "of ID does not read, that merged set lacks it: the add is refused (status 1); mend the\n"
     "file first, or use set, which needs no starting set.\n"
     "To hand the decision back to the levels below: vyr-classification inherit.",
     boHas,
     [](Access& access, const EditView& v) {
         // "Add" keeps what the person sees, as an import does: a level that
         // does not list the source id yet starts from its merged set (as
         // read under the lock), which it then decides.
         (void)changesApply(*v.session.cache, v.session.level, {{v.source, {v.classified}}}, false, &access);
     },
     "{id} already has {source} -> {classified} at level {level}",
     "added {source} -> {classified} to {name} at level {level}"},
    {"set", "Make CLASSIFIED the source id's only classified id at a level, replacing what it had",
     true, true, false, false, "vyr-classification set materials clip steel --level shared",
     "\n\nThe level decides SOURCE from then on; what the levels below give it is replaced.",
     [](const EditView& v) { return boHas(v) && v.atLevel->size() == 1; },
     [](Access& access, const EditView& v) { (void)access.boSetMapping(v.source, v.classified, v.session.level); },
     "{id} already maps {source} to {classified} alone at level {level}",
     "set {source} -> {classified} in {name} at level {level}"},
    {"remove", "Remove a pair at a level; without CLASSIFIED, every classified id of the source id",
     true, true, true, true, "vyr-classification remove materials panel glass --level user", "",
     [](const EditView& v) { return !boHas(v); },
     [](Access& access, const EditView& v) { access.vMappingRemove(v.source, v.classified, v.session.level); },
     "{id} has no pair {source} -> {classified} at level {level}",
     "removed {source} -> {classified} from {name} at level {level}"},
    {"remove-source", "Remove every classified id of a source id at a level (it stays listed, empty)",
     true, false, false, true, "vyr-classification remove-source materials clip --level shared", "",
     [](const EditView& v) { return v.atLevel == nullptr || v.atLevel->empty(); },
     [](Access& access, const EditView& v) { access.vMappedToSourceRemove(v.source, v.session.level); },
     "{id} maps {source} to nothing at level {level}",
     "removed every classified id of {source} from {name} at level {level}"},
    {"remove-classified", "Remove a classified id from every source id at a level",
     false, true, false, false, "vyr-classification remove-classified materials glass --level user", "",
     [](const EditView& v) {
         const auto present = v.session.cache->levels.find(v.session.level);
         return present == v.session.cache->levels.end() ||
                std::none_of(present->second.sourceToClassified.begin(), present->second.sourceToClassified.end(),
                             [&](const auto& entry) { return entry.second.count(v.classified) != 0; });
     },
     [](Access& access, const EditView& v) { access.vMappedToClassifiedRemove(v.classified, v.session.level); },
     "no source id of {id} maps to {classified} at level {level}",
     "removed {classified} from every source id of {name} at level {level}"},
    {"inherit", "Undo a level's override: the level no longer lists SOURCE, so the levels below decide it again",
     true, false, false, true, "vyr-classification inherit materials gasket --level user", "",
     [](const EditView& v) { return v.atLevel == nullptr; },
     [](Access& access, const EditView& v) { access.vMappedToSourceInherit(v.source, v.session.level); },
     "{id} does not list {source} at level {level}, so the levels below decide it already",
     "level {level} of {name} no longer lists {source}; the levels below decide it"},
}};

// The message with its places filled: {id} quoted, {name} as it is, the
// ids as the text output shows them.
std::string sMessage(std::string_view text, const EditView& v) {
    const std::array<std::pair<std::string_view, std::string>, 5> places = {
        {{"{id}", idText(v.session.id)}, {"{name}", displayText(v.session.id)}, {"{source}", displayText(v.source)},
         {"{classified}", displayText(v.classified)}, {"{level}", std::string(levelName(v.session.level))}}};
    std::string message;
    while (!text.empty()) {
        const auto place = std::find_if(places.begin(), places.end(), [&](const auto& p) { return text.starts_with(p.first); });
        message += place == places.end() ? std::string(1, text.front()) : place->second;
        text.remove_prefix(place == places.end() ? 1 : place->first.size());
    }
    return message;
}

const EditKind& editKindOf(std::string_view name) {
    return *std::find_if(kEdits.begin(), kEdits.end(), [&](const EditKind& kind) { return kind.name == name; });
}

void vEditDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    const EditKind& kind = editKindOf(app.get_name());
    idAdd(app, ids, "ID", args.id, "Classification id", &args.level)->required();
    if (kind.boSource) {
        textAdd(app, "SOURCE", args.source, "Source id")->required();
    }
    if (kind.boClassified) {
        textAdd(app, "CLASSIFIED", args.classified, "Classified id")->required(!kind.boClassifiedOptional);
    }
    levelAdd(app, "--level", args.level, "The level to edit; its file is written back", true)->required();
    vFooterSet(app, {kind.example}, kind.more);
}

// What the merged view shows now for what the edit touched: the source id,
// or each source id that still maps to the classified id (the first ten),
// as "bolt -> iron, steel (decided by user)".
void vMergedViewPrint(const Context& context, const Cache& after, const EditView& view, bool boByClassified) {
    const std::set<std::string> one = {view.source};
    const std::set<std::string>* sources = boByClassified ? after.merged.pSourceIdsGet(view.classified) : &one;
    if (sources == nullptr || sources->empty()) {
        context.out << "merged view: no source id maps to " << displayText(view.classified) << '\n';
        return;
    }
    constexpr std::size_t kShown = 10;
    std::size_t shown = 0;
    for (const std::string& source : *sources) {
        if (shown++ == kShown) {
            context.out << "merged view: ... and " << sources->size() - kShown << " more\n";
            break;
        }
        const std::vector<Level> levels = AdminWrapper::sourceLevelsGet(after, source);
        context.out << "merged view: " << displayText(source)
                    << (levels.empty() ? " is not listed at any level"
                                       : " -> " + classifiedList(after.merged.pClassifiedIdsGet(source)) +
                                             " (decided by " + std::string(levelName(levels.front())) + ")")
                    << '\n';
    }
}

int iEditRun(const Context& context) {
    const Args& args = context.args;
    // `remove` without CLASSIFIED removes the whole set, as remove-source.
    const EditKind& kind = editKindOf(context.command == "remove" && !args.classified ? "remove-source"
                                                                                      : context.command);
    EditSession session(context, *args.id, context.level());
    const std::string source = args.source.value_or("");
    const std::string classified = args.classified.value_or("");
    // An edit of one source id reads and writes only that source id's entries.
    if (!(kind.boSource ? session.boOpenSource(source) : session.boOpen())) {
        return kExitFailed;
    }
    if (kind.boSourceListed) {
        // A mistyped source id is not "nothing to do".
        if (const int status = iSourceListedCheck(context, *session.cache, session.id, source, "; nothing changed");
            status != kExitSuccess) {
            return status;
        }
    }
    EditView view{session, pLevelSetGet(*session.cache, session.level, source), source, classified};
    // `add` of a source id that the level does not list yet starts from the
    // merged set, which must then hold every level: a set computed from a
    // partial view would be frozen into the file.
    const bool boFromMerged = &kind == &editKindOf("add");
    const std::string fromMerged =
        displayText(source) + " is not listed at level " + std::string(levelName(session.level)) +
        ", so add would start its set there";
    const std::string instead = "give it exactly " + displayText(classified) +
                                " there with set, which needs no starting set: vyr-classification set " +
                                commandWord(session.id) + " " + commandWord(source) + " " + commandWord(classified) +
                                " --level " + std::string(levelName(session.level));
    // An edit that would change nothing at the level says so and leaves the file alone.
    if (kind.boUnchanged(view)) {
        context.out << sMessage(kind.unchanged, view) << "; nothing changed (" << pathText(session.file) << ")\n";
    } else {
        if (boFromMerged && view.atLevel == nullptr && !session.boMergedViewWhole(fromMerged, instead)) {
            return kExitFailed;
        }
        if (!session.boLock()) {
            return kExitFailed;
        }
        // The level as read again under the lock.
        view.atLevel = pLevelSetGet(*session.cache, session.level, source);
        if (boFromMerged && view.atLevel == nullptr && !session.boMergedViewWhole(fromMerged, instead)) {
            return kExitFailed;
        }
        kind.apply(*session.access, view);
        if (!session.boWriteBack()) {
            return kExitFailed;
        }
        context.out << sMessage(kind.done, view) << " (" << pathText(session.file) << ")\n";
    }
    vMergedViewPrint(context, kind.boSource ? *session.cache : *session.store.cachesGet(*args.id), view,
                     !kind.boSource);
    return iDoneStatus(session.warnings);
}

void vCreateDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id", &args.level)->required();
    levelAdd(app, "--level", args.level, "The level whose folder receives the file", true)->required();
    for (std::size_t i = 0; i < args.texts.size(); ++i) {
        const std::string number = std::to_string(i + 2);
        textAdd(app, "--text" + number, args.texts[i], "Text attribute " + number);
    }
    app.add_flag("--flag1", args.boFlag1, "Set flag 1");
    app.add_flag("--flag2", args.boFlag2, "Set flag 2");
    vFooterSet(app, {"vyr-classification create finishes --level user --text2 \"Surface finishes\""});
}

int iCreateRun(const Context& context) {
    const std::string& id = *context.args.id;
    const Level level = context.level();
    const fs::path file = context.file(level, id);
    if (boAnythingAt(file)) {
        return context.iFail(idText(id) + " already has a file at level " + std::string(levelName(level)) + ": " +
                             pathText(file));
    }
    AdminWrapper store;
    const Args& args = context.args;
    classification::Failure failure;
    if (!store.boCreateClassification(id, args.texts[0], args.texts[1], args.texts[2], args.texts[3], args.boFlag1,
                                      args.boFlag2, level, failure)) {
        return context.iFail("could not write " + pathText(file) + failureText(failure));
    }
    context.out << "created " << displayText(id) << " at level " << levelName(level) << ": " << pathText(file)
                << '\n';
    return kExitSuccess;
}

// The callback of a classification run on the console: messages go to the
// output stream, one line each; progress is drawn as a bar on the terminal
// stream, when there is one (standard error being a terminal). Points at
// both streams without owning them. One run, one thread.
class ConsoleCallback final : public classification::ClassificationUiCallbackInterface {
public:
    // terminal: where to draw the bar, or null for no bar.
    ConsoleCallback(std::ostream& out, std::ostream* terminal) : out_(out), terminal_(terminal) {}
    ConsoleCallback(const ConsoleCallback&) = delete;
    ConsoleCallback& operator=(const ConsoleCallback&) = delete;
    // Ends a bar that the run left unfinished.
    ~ConsoleCallback() override { vBarEnd("\n"); }

    void vProgress(int iDone, int iTotal) override {
        if (terminal_ != nullptr) {
            total_ = std::max(iTotal, 0);
            done_ = std::clamp(iDone, 0, total_);
            vBarDraw();
            if (done_ == total_) {
                vBarEnd("\n"); // the run is through: the full bar stays on its own line
            }
        }
    }

    void vMessage(const std::string& sMessage) override {
        const bool boRedraw = boBarShown_;
        vBarEnd("\r\033[K"); // erased, and drawn again under the message
        out_ << sMessage << '\n' << std::flush;
        if (boRedraw) {
            vBarDraw();
        }
    }

private:
    void vBarDraw() {
        constexpr int kWidth = 30;
        const int filled = total_ == 0 ? kWidth : done_ * kWidth / total_;
        *terminal_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                   << std::string(static_cast<std::size_t>(kWidth - filled), '-') << "] " << done_ << '/' << total_
                   << std::flush;
        boBarShown_ = true;
    }

    // Ends the bar shown, if any, with `end`.
    void vBarEnd(const char* end) {
        if (boBarShown_) {
            *terminal_ << end << std::flush;
        }
        boBarShown_ = false;
    }

    std::ostream& out_;
    std::ostream* terminal_;
    int done_ = 0;
    int total_ = 0;
    bool boBarShown_ = false;
};

void vClassifyDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "MAPPING", args.id, "The classification id to read")->required();
    idAdd(app, ids, "--filter", args.filter, "The classification that allows classified ids")->required();
    levelAdd(app, "--in", args.in, "Read MAPPING's levels up to this one", false)->required();
    levelAdd(app, "--out", args.level, "Write at this level", true)->required();
    idAdd(app, ids, "--update", args.update, "The classification to write into", &args.level)->required();
    // VYR_SAMPLE_MODULE_FILE: the file name of the sample module, installed beside the bridge library.
    app.add_option("--module", args.module,
                   "The module assembly to run: a path, or a file name looked for like the default "
                   "(the sample module: " VYR_SAMPLE_MODULE_FILE ")")
        ->type_name("FILE");
    const char* example = "vyr-classification classify materials --filter approved-materials --in user --out user "
                          "--update approved-parts --module " VYR_SAMPLE_MODULE_FILE;
    const std::string text =
        std::string("\n\nWithout --module, the runtime looks for ") + managed::runtime::kModuleFileName +
        " in the program's folder, the folders of its RUNPATH and the bridge library's folder, and runs the first "
        "it finds. The last line names the module file that ran."
        "\n\nWith the sample module, a pair (s, c) is kept when FILTER maps c to \"allow\"."
        "\nWhile a level file that the run reads (MAPPING's up to --in, FILTER's) does not read, the"
        "\nrun is refused (status 1): what it writes would miss that level."
        "\nA progress bar is drawn on standard error when it is a terminal.";
    vFooterSet(app, {example}, text);
}

int iClassifyRun(const Context& context) {
    const Args& args = context.args;
    AdminWrapper store;
    std::vector<Warning> warnings;
    // The levels the run reads: MAPPING's up to --in, every level of FILTER.
    const Level in = *levelParse(*args.in);
    std::size_t partial = std::string::npos; // the first unread level of those, by index
    for (const std::string* id : {&*args.id, &*args.filter}) {
        const Cache* cache = pReadableCacheGet(store, *id);
        const std::size_t first = warnings.size();
        vUnreadLevelsAdd(context, *id, cache, warnings);
        if (cache == nullptr) {
            vWarningsPrint(context, warnings);
            return context.iFail(sMissingReason(context, *id) + "; nothing changed");
        }
        for (std::size_t i = first; i < warnings.size() && partial == std::string::npos; ++i) {
            partial = id == &*args.filter || warnings[i].level <= in ? i : std::string::npos;
        }
    }
    if (partial != std::string::npos) {
        // What the run writes would be computed from a view without that level.
        vWarningsPrint(context, warnings);
        return context.iFail("the run would read a view that lacks level " +
                             std::string(levelName(warnings[partial].level)) + ": " + pathText(warnings[partial].path) +
                             " does not read; nothing changed. Mend that file first (vyr-classification check)");
    }
    // The run writes the update classification at the output level; a file
    // there that does not read must not be written over.
    const fs::path file = context.file(context.level(), *args.update);
    vWarningsPrint(context, warnings);
    if (boAnythingAt(file)) {
        const Cache* update = pReadableCacheGet(store, *args.update);
        if (update == nullptr || update->levels.count(context.level()) == 0) {
            return context.iFail(pathText(file) + " does not read; not writing over it");
        }
    }
    bridge::definition::AdminWrapper definitions("vyr-classification");
    ConsoleCallback callback(context.out, ::isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr);
    try {
        if (!args.module.empty()) {
            managed::runtime::vModuleFileSet(str::pathFromUtf8(args.module));
        }
        // A failure of the run, the module's write-back included, is thrown.
        bridge::classification::vClassify(Directories::getInstance(), store, definitions, *args.id, *args.filter,
                                          in, context.level(), *args.update, &callback);
    } catch (const managed::runtime::ModuleLoadException& error) {
        // Where the module was looked for, and how to name one.
        std::string lookedIn;
        for (const fs::path& folder : error.lookedInGet()) {
            lookedIn += (lookedIn.empty() ? "" : ", ") + pathText(folder);
        }
        return context.iFail(lookedIn.empty() ? std::string(error.what())
                                              : "no classification module " + pathText(error.fileGet()) + " in " +
                                                    lookedIn + "; name one with --module FILE (the sample module: "
                                                    "--module " VYR_SAMPLE_MODULE_FILE "); nothing changed");
    } catch (const std::exception& error) {
        const fs::path ran = managed::runtime::moduleFileLoadedGet();
        return context.iFail(std::string(error.what()) + (ran.empty() ? "" : " (module " + pathText(ran) + ")"));
    }
    context.out << "ran the module " << pathText(managed::runtime::moduleFileLoadedGet()) << '\n';
    return iDoneStatus(warnings);
}

// `import`: applies the pairs of an exported view to one level, under one
// lock and one write-back.

// What a value is, for a message.
std::string kindOf(const Json& value) {
    static const std::map<Json::value_t, const char*> kKinds = {
        {Json::value_t::null, "null"},       {Json::value_t::boolean, "true or false"},
        {Json::value_t::string, "text"},     {Json::value_t::array, "an array"},
        {Json::value_t::object, "an object"}, {Json::value_t::binary, "binary data"}};
    const auto found = kKinds.find(value.type());
    return found == kKinds.end() ? "a number" : found->second;
}

// Adds one pair; what is wrong with it, or empty.
std::string sPairTake(const Json& pair, Wanted& wanted) {
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
        const bool boText = member != pair.end() && member->is_string();
        if (std::string problem = boText ? AdminWrapper::sTextProblemGet(member->get_ref<const std::string&>()) : "";
            !problem.empty()) {
            return std::string("its ") + name + " id: " + problem;
        }
    }
    std::set<std::string>& listed = wanted[source->get<std::string>()];
    if (classified != pair.end() && classified->is_string()) {
        listed.insert(classified->get<std::string>());
    }
    return {};
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
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...", without the bracket.
        const std::string message = error.what();
        return fail(message.substr(message.find("] ") == std::string::npos ? 0 : message.find("] ") + 2));
    }
    const Json& pairs = document.is_object() && document.contains("pairs") ? document.at("pairs") : document;
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

// Without --replace, a source id that the level does not list yet starts
// from its merged set, which must then hold every level; else the line says
// which file is missing from it and how to proceed.
bool boStartsWhole(const EditSession& session, const Wanted& wanted) {
    std::size_t unlisted = 0;
    const std::string* first = nullptr;
    for (const auto& entry : wanted) {
        if (pLevelSetGet(*session.cache, session.level, entry.first) == nullptr) {
            first = first == nullptr ? &entry.first : first;
            ++unlisted;
        }
    }
    if (first == nullptr) {
        return true;
    }
    const std::string others = unlisted == 1 ? ""
                               : " (nor are " + std::to_string(unlisted - 1) +
                                     (unlisted == 2 ? " other source id" : " other source ids") + " of the import)";
    return session.boMergedViewWhole(displayText(*first) + " is not listed at level " +
                                         std::string(levelName(session.level)) + others +
                                         ", so import would start its set there",
                                     "import with --replace, which needs no starting set: each listed source id "
                                     "then gets exactly its listed set");
}

int iImportRun(const Context& context) {
    Wanted wanted;
    if (const int status = iWantedRead(context, wanted); status != kExitSuccess) {
        return status;
    }
    EditSession session(context, *context.args.id, context.level());
    if (!session.boOpen()) {
        return kExitFailed;
    }
    const bool boReplace = context.args.boReplace;
    const std::string done = "import of " + std::to_string(wanted.size()) +
                             (wanted.size() == 1 ? " source id" : " source ids") + " into " +
                             displayText(session.id) + " at level " + std::string(levelName(session.level)) + ": ";
    if (changesApply(*session.cache, session.level, wanted, boReplace, nullptr).sources == 0) {
        context.out << done << "nothing changed (" << pathText(session.file) << ")\n";
        return iDoneStatus(session.warnings);
    }
    if (!boReplace && !boStartsWhole(session, wanted)) {
        return kExitFailed;
    }
    if (!session.boLock()) {
        return kExitFailed;
    }
    // The level as read again under the lock.
    if (!boReplace && !boStartsWhole(session, wanted)) {
        return kExitFailed;
    }
    // Counted again under the lock, against the file as it is now.
    const Changes changes = changesApply(*session.cache, session.level, wanted, boReplace, &*session.access);
    if (!session.boWriteBack()) {
        return kExitFailed;
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
               "the report says what changed; an import that changes nothing writes nothing. While a\n"
               "level file of ID does not read, an import that would start from a merged set is\n"
               "refused (status 1); --replace needs no starting set.");
}

// `edit`: a level file edited by hand, under the level's lock. The file is
// copied to a private temporary file, the person's editor runs on the copy,
// and the copy reaches the level file only when it reads as the store reads
// a level file; until then the level file keeps what it had.

// The editor the person chose: $VISUAL, else $EDITOR, else vi. A command
// line for the shell, so that "code --wait" works.
std::string editorGet() {
    const char* visual = std::getenv("VISUAL");
    const char* editor = std::getenv("EDITOR");
    return visual != nullptr && *visual != '\0' ? visual : editor != nullptr && *editor != '\0' ? editor : "vi";
}

// A private temporary file (mode 0600) holding the bytes, named after the id
// and level so that the editor shows what is edited. Empty path on failure.
fs::path copyMake(const std::string& id, Level level, const std::string& bytes, std::string& reason) {
    std::string stem = id.substr(0, 64);
    std::replace_if(stem.begin(), stem.end(), [](char c) {
        return !std::isalnum(c, std::locale::classic()) && c != '-' && c != '_' && c != '.';
    }, '_');
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/vyr-classification-" +
                       stem + "." + std::string(levelName(level)) + ".XXXXXX.xml";
    const int descriptor = ::mkstemps(name.data(), 4);
    if (descriptor < 0) {
        reason = std::string("cannot make a temporary copy: ") + std::strerror(errno);
        return {};
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (count <= 0 && errno != EINTR) {
            reason = std::string("cannot write the temporary copy: ") + std::strerror(count == 0 ? EIO : errno);
            ::close(descriptor);
            ::unlink(name.c_str());
            return {};
        }
        written += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    ::close(descriptor);
    return name;
}

// How many source ids differ between the two relations: listed in one
// only, or with another set.
std::size_t sourcesChanged(const classification::Mapping::Relation& before,
                           const classification::Mapping::Relation& after) {
    std::size_t changed = 0;
    for (const auto& [source, classified] : before) {
        const auto found = after.find(source);
        changed += found == after.end() || found->second != classified ? 1 : 0;
    }
    for (const auto& entry : after) {
        changed += before.count(entry.first) == 0 ? 1 : 0;
    }
    return changed;
}

// The level's own relation in the cache; empty when the level has none.
classification::Mapping::Relation relationOf(const Cache& cache, Level level) {
    const auto present = cache.levels.find(level);
    return present == cache.levels.end() ? classification::Mapping::Relation() : present->second.sourceToClassified;
}

// Makes the copy, then runs the editor on it until it gives a copy that the
// store takes (the level then holds it), the person discards, or the copy is
// unchanged. kExitSuccess with `edited` true when the level holds the new
// copy; otherwise the level holds what it had, and the caller hands it back.
int iEditLoop(EditSession& session, const std::string& original, fs::path& copy, bool& boEdited) {
    const Context& context = session.context;
    const std::string editor = editorGet();
    std::string edited;
    std::string reason;
    copy = copyMake(session.id, session.level, original, reason);
    if (copy.empty()) {
        return context.iFail(reason + "; nothing changed");
    }
    while (true) {
        // The editor runs on the tool's terminal; meanwhile std::system ignores the terminal's interrupt
        // and quit keys, as a shell does for a foreground job, and the editor gets them. Its exit status,
        // or -1 when it did not start or end normally.
        const int result = std::system((editor + " " + shellWord(pathText(copy))).c_str());
        const int status = result != -1 && WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        if (status != 0) {
            return context.iFail("the editor (" + editor + ") ended with " +
                                 (status < 0 ? std::string("no status") : "status " + std::to_string(status)) +
                                 "; nothing changed; the copy stays in " + pathText(copy));
        }
        if (!boFileBytesGet(copy, edited, reason)) {
            return context.iFail("the copy " + pathText(copy) + " " + reason + "; nothing changed");
        }
        if (edited == original || session.access->boLevelReplace(session.level, edited)) {
            boEdited = edited != original;
            return kExitSuccess;
        }
        // Nothing of it is taken: the level file keeps what it had.
        context.err << "vyr-classification edit: the edited copy does not read: "
                    << session.access->failureGet().sReason << '\n';
        // No answer at all (end of input) discards.
        std::string answer;
        bool boAnswered = false;
        do {
            context.err << "Edit it again (e) or discard the changes (d)? [e] " << std::flush;
            boAnswered = static_cast<bool>(std::getline(std::cin, answer));
        } while (boAnswered && answer != "" && answer != "e" && answer != "d");
        if (!boAnswered || answer == "d") {
            return context.iFail("discarded; nothing changed; the copy stays in " + pathText(copy));
        }
    }
}

int iHandEditRun(const Context& context) {
    if (::isatty(STDIN_FILENO) != 1) {
        context.err << "vyr-classification edit: standard input is not a terminal; edit runs an editor and may ask a "
                       "question (scripts use export and import instead); nothing changed\n";
        return kExitUsage;
    }
    EditSession session(context, *context.args.id, context.level());
    const std::string shown = displayText(session.id) + " at level " + std::string(levelName(session.level));
    std::string original;
    // The lock is held until the copy is taken or dropped: other writers wait for it.
    if (!session.boOpen("the store will not take it over: mend it in place, then run check") || !session.boLock()) {
        return kExitFailed;
    }
    if (!session.access->boLevelDocumentGet(session.level, original)) {
        return context.iFail("cannot read " + pathText(session.file) + "; nothing changed");
    }
    const classification::Mapping::Relation before = relationOf(*session.cache, session.level);
    fs::path copy;
    bool boEdited = false;
    const int status = iEditLoop(session, original, copy, boEdited);
    if (!boEdited) {
        // The level file handed back as it was: the write access then leaves it untouched.
        (void)session.access->boLevelReplace(session.level, original);
    }
    if (status != kExitSuccess) {
        return status;
    }
    if (!boEdited) {
        fs::remove(copy);
        context.out << "the copy of " << shown << " was not changed; nothing changed (" << pathText(session.file)
                    << ")\n";
        return iDoneStatus(session.warnings);
    }
    if (!session.boWriteBack("; the copy stays in " + pathText(copy))) {
        return kExitFailed;
    }
    fs::remove(copy);
    const std::size_t changed = sourcesChanged(before, relationOf(*session.store.cachesGet(session.id), session.level));
    context.out << "edited " << shown << ": " << changed << (changed == 1 ? " source id" : " source ids")
                << " changed (" << pathText(session.file) << ")\n";
    return iDoneStatus(session.warnings);
}

void vHandEditDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id", &args.level)->required();
    levelAdd(app, "--level", args.level, "The level whose file is edited", true)->required();
    vFooterSet(app,
               {"vyr-classification edit materials --level user",
                "EDITOR=\"${EDITOR:-vi}\" vyr-classification edit materials --level shared"},
               "\n\nThe file is copied to a temporary file and $VISUAL, else $EDITOR, else vi runs on the\n"
               "copy while the level stays locked: other edits of the level wait (a few seconds) or are\n"
               "refused, never lost. When the editor ends, the copy is read as the store reads a level\n"
               "file; one that does not read is named with its line and column, and you choose to edit\n"
               "it again or to discard it. Nothing that does not read is ever written. Standard input\n"
               "must be a terminal; scripts use export and import.");
}

} // namespace

std::vector<Command> editCommands() {
    std::vector<Command> commands = {{"create", "Create a classification's file at a level; never replaces a file",
                                      vCreateDeclare, iCreateRun}};
    for (const EditKind& kind : kEdits) {
        commands.push_back({kind.name, kind.description, vEditDeclare, iEditRun});
    }
    commands.push_back({"classify",
                        "Run the classification module (the sample: keep MAPPING's pairs that FILTER allows, "
                        "write them into the --update classification)",
                        vClassifyDeclare, iClassifyRun});
    return commands;
}

const Command kImportCommand{
    "import", "Apply the pairs of an exported JSON file to one level, under one lock and one write-back",
    vImportDeclare, iImportRun};

const Command kHandEditCommand{
    "edit", "Edit a level file by hand in $VISUAL or $EDITOR, under the level's lock; only what reads is written",
    vHandEditDeclare, iHandEditRun};

} // namespace vyr::tool
