// The commands that write: the six edits of one pair or source id at one
// level, each a row of one table (its check, its action and its message),
// `create`, and `classify`.

#include <unistd.h>

#include <exception>
#include <iostream>

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

// One kind of edit: its command, what it takes, and side by side its check
// (whether it would change nothing at the level), its action under the
// lock, and its two messages, where {id}, {source}, {classified} and
// {level} stand for what they name.
struct EditKind {
    const char* name;
    const char* description;
    bool boSource;
    bool boClassified;
    bool boClassifiedOptional;
    const char* example;
    const char* more;
    bool (*boUnchanged)(const EditView&);
    void (*apply)(Access&, const EditView&);
    const char* unchanged;
    const char* done;
};

bool boHas(const EditView& v) { return v.atLevel != nullptr && v.atLevel->count(v.classified) != 0; }

// Removals look at the level itself: the merged view may take a pair from
// another level, which the edit does not touch.
const std::array<EditKind, 6> kEdits = {{
    {"add", "Add a pair at a level: the source id keeps what it shows now and gains CLASSIFIED",
     true, true, false, "vyr-classification add materials bolt zinc --level user",
     "\n\nA level that does not list SOURCE yet starts from the set that 'show' prints for it\n"
     "(the merged set), adds CLASSIFIED, and decides SOURCE from then on.\n"
     "To hand the decision back to the levels below: vyr-classification inherit.",
     boHas,
     [](Access& access, const EditView& v) {
         // "Add" keeps what the person sees: a level that does not list the
         // source id yet starts from its merged set (as read under the
         // lock), which it then decides.
         const Cache& cache = *v.session.cache;
         if (pLevelSetGet(cache, v.session.level, v.source) == nullptr) {
             const std::set<std::string>* seen = cache.merged.pClassifiedIdsGet(v.source);
             for (const std::string& kept : seen == nullptr ? std::set<std::string>() : *seen) {
                 (void)access.boAddMapping(v.source, kept, v.session.level);
             }
         }
         (void)access.boAddMapping(v.source, v.classified, v.session.level);
     },
     "{id} already has {source} -> {classified} at level {level}",
     "added {source} -> {classified} to {name} at level {level}"},
    {"set", "Make CLASSIFIED the source id's only classified id at a level, replacing what it had",
     true, true, false, "vyr-classification set materials clip steel --level shared",
     "\n\nThe level decides SOURCE from then on; what the levels below give it is replaced.",
     [](const EditView& v) { return boHas(v) && v.atLevel->size() == 1; },
     [](Access& access, const EditView& v) { (void)access.boSetMapping(v.source, v.classified, v.session.level); },
     "{id} already maps {source} to {classified} alone at level {level}",
     "set {source} -> {classified} in {name} at level {level}"},
    {"remove", "Remove a pair at a level; without CLASSIFIED, every classified id of the source id",
     true, true, true, "vyr-classification remove materials panel glass --level user", "",
     [](const EditView& v) { return !boHas(v); },
     [](Access& access, const EditView& v) { access.vMappingRemove(v.source, v.classified, v.session.level); },
     "{id} has no pair {source} -> {classified} at level {level}",
     "removed {source} -> {classified} from {name} at level {level}"},
    {"remove-source", "Remove every classified id of a source id at a level (it stays listed, empty)",
     true, false, false, "vyr-classification remove-source materials clip --level shared", "",
     [](const EditView& v) { return v.atLevel == nullptr || v.atLevel->empty(); },
     [](Access& access, const EditView& v) { access.vMappedToSourceRemove(v.source, v.session.level); },
     "{id} maps {source} to nothing at level {level}",
     "removed every classified id of {source} from {name} at level {level}"},
    {"remove-classified", "Remove a classified id from every source id at a level",
     false, true, false, "vyr-classification remove-classified materials glass --level user", "",
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
     true, false, false, "vyr-classification inherit materials gasket --level user", "",
     [](const EditView& v) { return v.atLevel == nullptr; },
     [](Access& access, const EditView& v) { access.vMappedToSourceInherit(v.source, v.session.level); },
     "{id} does not list {source} at level {level}, so the levels below decide it already",
     "level {level} of {name} no longer lists {source}; the levels below decide it"},
}};

// The message with its places filled: {id} quoted, {name} as it is, the
// ids as the text output shows them.
std::string sMessage(std::string_view text, const EditView& v) {
    const std::array<std::pair<std::string_view, std::string>, 5> places = {
        {{"{id}", idText(v.session.id)},
         {"{name}", displayText(v.session.id)},
         {"{source}", displayText(v.source)},
         {"{classified}", displayText(v.classified)},
         {"{level}", std::string(levelName(v.session.level))}}};
    std::string message;
    while (!text.empty()) {
        const auto place = std::find_if(places.begin(), places.end(), [&](const auto& p) { return text.starts_with(p.first); });
        message += place == places.end() ? std::string(1, text.front()) : place->second;
        text.remove_prefix(place == places.end() ? 1 : place->first.size());
    }
    return message;
}

const EditKind& editKindOf(std::string_view name) {
    return *std::find_if(kEdits.begin(), kEdits.end(),
                         [&](const EditKind& kind) { return kind.name == name; });
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
    if (const int status = session.iOpen(); status != kExitSuccess) {
        return status;
    }
    const std::string source = args.source.value_or("");
    const std::string classified = args.classified.value_or("");
    const EditView view{session, pLevelSetGet(*session.cache, session.level, source), source, classified};
    // An edit that would change nothing at the level says so and leaves the file alone.
    if (kind.boUnchanged(view)) {
        context.out << sMessage(kind.unchanged, view) << "; nothing changed (" << pathText(session.file) << ")\n";
    } else {
        if (const int status = session.iLock(); status != kExitSuccess) {
            return status;
        }
        kind.apply(*session.access, view);
        if (const int status = session.iWriteBack(); status != kExitSuccess) {
            return status;
        }
        context.out << sMessage(kind.done, view) << " (" << pathText(session.file) << ")\n";
    }
    vMergedViewPrint(context, *session.store.cachesGet(*args.id), view, !kind.boSource);
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

// The file name of the sample module, installed beside the bridge library.
#ifndef VYR_SAMPLE_MODULE_FILE
#define VYR_SAMPLE_MODULE_FILE "libVyrSampleClassification.so"
#endif
constexpr const char* kSampleModuleFile = VYR_SAMPLE_MODULE_FILE;

void vClassifyDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "MAPPING", args.id, "The classification id to read")->required();
    idAdd(app, ids, "--filter", args.filter, "The classification that allows classified ids")->required();
    levelAdd(app, "--in", args.in, "Read MAPPING's levels up to this one", false)->required();
    levelAdd(app, "--out", args.level, "Write at this level", true)->required();
    idAdd(app, ids, "--update", args.update, "The classification to write into", &args.level)->required();
    app.add_option("--module", args.module,
                   std::string("The module library to run: a path, or a file name looked for like the default "
                               "(the sample module: ") +
                       kSampleModuleFile + ")")
        ->type_name("FILE");
    const std::string example =
        std::string("vyr-classification classify materials --filter approved-materials --in user --out user "
                    "--update approved-parts --module ") +
        kSampleModuleFile;
    const std::string text =
        std::string("\n\nWithout --module, the runtime looks for ") + managed::runtime::kModuleFileName +
        " in the program's folder, the folders of its RUNPATH and the bridge library's folder, and runs the first "
        "it finds. The last line names the module file that ran."
        "\n\nWith the sample module, a pair (s, c) is kept when FILTER maps c to \"allow\"."
        "\nA progress bar is drawn on standard error when it is a terminal.";
    vFooterSet(app, {example}, text);
}

// The failure of a module that could not be loaded: where it was looked
// for and how to name one.
int iModuleMissing(const Context& context, const managed::runtime::ModuleLoadException& error) {
    if (error.lookedInGet().empty()) {
        return context.iFail(error.what());
    }
    std::string lookedIn;
    for (const fs::path& folder : error.lookedInGet()) {
        lookedIn += (lookedIn.empty() ? "" : ", ") + pathText(folder);
    }
    return context.iFail("no classification module " + pathText(error.fileGet()) + " in " + lookedIn +
                         "; name one with --module FILE (the sample module: --module " + kSampleModuleFile +
                         "); nothing changed");
}

int iClassifyRun(const Context& context) {
    const Args& args = context.args;
    AdminWrapper store;
    std::vector<Warning> warnings;
    for (const std::string* id : {&*args.id, &*args.filter}) {
        const Cache* cache = pReadableCacheGet(store, *id);
        const std::vector<Warning> unread = unreadLevelsGet(context, *id, cache);
        warnings.insert(warnings.end(), unread.begin(), unread.end());
        if (cache == nullptr) {
            vWarningsPrint(context, warnings);
            return context.iFail(sMissingReason(context, *id) + "; nothing changed");
        }
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
                                          *levelParse(*args.in), context.level(), *args.update, &callback);
    } catch (const managed::runtime::ModuleLoadException& error) {
        return iModuleMissing(context, error);
    } catch (const std::exception& error) {
        const fs::path ran = managed::runtime::moduleFileLoadedGet();
        return context.iFail(std::string(error.what()) + (ran.empty() ? "" : " (module " + pathText(ran) + ")"));
    }
    context.out << "ran the module " << pathText(managed::runtime::moduleFileLoadedGet()) << '\n';
    return iDoneStatus(warnings);
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

} // namespace vyr::tool
