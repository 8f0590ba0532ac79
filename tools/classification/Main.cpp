// vyr-classification: shows and edits the classification store as the
// library sees it. It reaches the store only through the bridge library's
// outside face (AdminWrapper and the WriteAccess it hands out), so what it
// shows is exactly what the library does.
//
// The whole command line is checked before anything is read or written:
// unknown commands, options and level names, missing arguments and ids that
// no mapping file could hold end the run with status 2 and one line on
// standard error.

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "external/assert/Assert.h"
#include "external/managed/ModuleLoader.h"
#include "tools/classification/CommandSupport.h"
#include "tools/classification/Commands.h"
#include "tools/classification/LevelFolders.h"

namespace {

using namespace vyr::tool;

const CLI::Validator kText(
    [](std::string& text) {
        const std::string problem = sTextProblemGet(text);
        return problem.empty() ? problem : "the text " + problem;
    },
    "");

// A classification id names its file in a level folder: <id>.xml.
const CLI::Validator kId(
    [](std::string& id) -> std::string {
        if (id.empty() || id == "." || id == ".." || id.find_first_of("/\\") != std::string::npos) {
            return "'" + id + "' cannot name a mapping file (empty, '.', '..' or a path separator)";
        }
        const std::string problem = sTextProblemGet(id);
        return problem.empty() ? problem : "the id " + problem;
    },
    "");

// Existing folders; the option's type name says DIR already.
const CLI::Validator kDirectory = CLI::Validator(CLI::ExistingDirectory).description("");
// "system" is the sys level's other name: its folder is called so.
const CLI::IsMember kAnyLevel({"sys", "system", "shared", "user"});
const CLI::IsMember kWritableLevel({"shared", "user"});

// One line, whatever the library's message holds.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// An "Example" footer for --help.
std::string example(std::initializer_list<std::string_view> lines) {
    std::string text = "Example:";
    for (const std::string_view line : lines) {
        text += "\n  ";
        text += line;
    }
    return text;
}

// The footer line of every command that takes ids.
const std::string kDashNote = "\n\nAn id that begins with '-' goes after '--', which ends the options:\n"
                              "  vyr-classification show -- -draft\n"
                              "  vyr-classification add materials --level user -- -bolt zinc";

// The first option on the command line that neither the tool nor the chosen
// command knows, or empty. Looks no further than "--".
std::string unknownOptionGet(const CLI::App& app, const CLI::App* command, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            break;
        }
        if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
            continue;
        }
        const std::string name(arg.substr(0, arg.find('=')));
        if (app.get_option_no_throw(name) == nullptr &&
            (command == nullptr || command->get_option_no_throw(name) == nullptr)) {
            return name;
        }
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("Shows and edits classification mapping files at the three levels (sys, shared, user)\n"
                 "exactly as the classification library reads and writes them.",
                 "vyr-classification");
    app.set_version_flag("--version", "vyr-classification " VYR_VERSION);
    app.require_subcommand(1);
    app.fallthrough(); // folder options may also follow the command
    app.get_formatter()->column_width(34);

    std::string root = ".";
    std::optional<std::string> system;
    std::vector<std::string> shared;
    std::optional<std::string> user;
    bool boVerbose = false;
    app.add_option("--root", root,
                   "Folder holding system/, shared/ and user/ (default: $VYR_CLASSIFICATION_ROOT, else .)")
        ->type_name("DIR")
        ->envname("VYR_CLASSIFICATION_ROOT")
        ->check(kDirectory);
    app.add_option("--system", system, "The system folder (level sys: <it>/Resources/Classification)")
        ->type_name("DIR")
        ->check(kDirectory);
    app.add_option("--shared", shared, "A shared folder; repeat for several (level shared)")
        ->type_name("DIR")
        ->check(kDirectory)
        ->allow_extra_args(false);
    app.add_option("--user", user, "The user folder (level user: <it>/Classification)")
        ->type_name("DIR")
        ->check(kDirectory);
    app.add_flag("--verbose", boVerbose, "Print each assertion record of the library on standard error");
    app.footer(example({"vyr-classification --root examples/data show materials"}) +
               "\n\nRun 'vyr-classification COMMAND --help' for a command's options.\n"
               "LEVEL is sys (also written system), shared or user; sys is read-only.\n\n"
               "Exit status:\n"
               "  0  done\n"
               "  1  failed: nothing was changed (check: a file does not read or cannot be edited)\n"
               "  2  bad usage: nothing was read or written\n"
               "  3  done, with warnings about other files, each one line on standard error\n\n"
               "An edit that would change nothing says \"nothing changed\", ends with 0 and leaves\n"
               "the file alone.");

    // folders
    CLI::App* foldersCommand = app.add_subcommand("folders", "Print where the three level folders are");
    foldersCommand->footer(example({"vyr-classification --root examples/data folders"}));

    // list
    bool boListJson = false;
    CLI::App* listCommand =
        app.add_subcommand("list", "List every classification id found in a level folder, with its levels");
    listCommand->add_flag("--json", boListJson, "Print JSON");
    listCommand->footer(example({"vyr-classification --root examples/data list"}));

    // show
    ShowOptions show;
    std::string showSource;
    std::string showClassified;
    std::string showLevel;
    CLI::App* showCommand = app.add_subcommand(
        "show", "Show the merged view, one line per pair, with the level that decided each source id");
    showCommand->add_option("ID", show.id, "Classification id")->required()->type_name("")->check(kId);
    CLI::Option* showSourceOption =
        showCommand->add_option("--source", showSource, "Only this source id")->type_name("TEXT")->check(kText);
    CLI::Option* showClassifiedOption =
        showCommand->add_option("--classified", showClassified, "Only pairs with this classified id")
            ->type_name("TEXT")
            ->check(kText);
    CLI::Option* showLevelOption =
        showCommand->add_option("--level", showLevel, "Show this level's own mapping instead")
            ->type_name("LEVEL")
            ->check(kAnyLevel);
    showCommand->add_flag("--json", show.boJson, "Print JSON");
    showCommand->footer(
        example({"vyr-classification show materials", "vyr-classification show materials --source panel",
                 "vyr-classification show materials --level sys --json"}) +
        "\n\nA source id is decided by the highest level that lists it; \"(overrides sys)\" names the\n"
        "lower levels it hides. To undo an override, so that the levels below decide again:\n"
        "  vyr-classification inherit ID SOURCE --level LEVEL\n"
        "A level file that exists but does not read gets a warning line on standard error and\n"
        "status 3; the view is made of the levels that read." +
        kDashNote);

    // overrides
    std::string overridesId;
    bool boOverridesJson = false;
    CLI::App* overridesCommand = app.add_subcommand(
        "overrides", "List every source id that a level decides over a lower level that lists it too, with the "
                     "sets it hides");
    CLI::Option* overridesIdOption =
        overridesCommand->add_option("ID", overridesId, "Only this classification (default: every one)")
            ->type_name("")
            ->check(kId);
    overridesCommand->add_flag("--json", boOverridesJson, "Print JSON");
    overridesCommand->footer(
        example({"vyr-classification overrides", "vyr-classification overrides materials --json"}) +
        "\n\nEach override names the level that decides and its file, then each lower\n"
        "level that lists the source id too, with the set it hides and its file." +
        kDashNote);

    // cat
    std::string catId;
    CLI::App* catCommand = app.add_subcommand(
        "cat", "Print each level file of a classification as it is on disk, lowest level first");
    catCommand->add_option("ID", catId, "Classification id")->required()->type_name("")->check(kId);
    catCommand->footer(example({"vyr-classification cat materials"}) +
                       "\n\nEach file comes under a line \"# <path> (level LEVEL)\"." + kDashNote);

    // export
    ShowOptions exported;
    std::string exportLevel;
    CLI::App* exportCommand = app.add_subcommand(
        "export", "Print the merged view, or one level's own mapping, as JSON that 'import' reads");
    exportCommand->add_option("ID", exported.id, "Classification id")->required()->type_name("")->check(kId);
    CLI::Option* exportLevelOption =
        exportCommand->add_option("--level", exportLevel, "Export this level's own mapping instead")
            ->type_name("LEVEL")
            ->check(kAnyLevel);
    exportCommand->footer(
        example({"vyr-classification export materials --level user > user.json"}) +
        "\n\nThe pairs have the shape of 'show --json': {\"source\": S, \"classified\": C or null,\n"
        "\"level\": L, \"overrides\": [...]}; a null classified id lists the source id with none." +
        kDashNote);

    // import
    ImportOptions import;
    std::string importLevel;
    CLI::App* importCommand = app.add_subcommand(
        "import", "Apply the pairs of an exported JSON file to one level, under one lock and one write-back");
    importCommand->add_option("ID", import.id, "Classification id")->required()->type_name("")->check(kId);
    importCommand->add_option("FILE", import.input, "The JSON file; - or nothing reads standard input")
        ->type_name("")
        ->default_str("-");
    importCommand->add_option("--level", importLevel, "The level to change; its file is written back")
        ->required()
        ->type_name("LEVEL")
        ->check(kWritableLevel);
    importCommand->add_flag("--replace", import.boReplace,
                            "Each listed source id gets exactly the listed set (default: the sets gain them)");
    importCommand->footer(
        example({"vyr-classification import materials --level user < user.json",
                 "vyr-classification export materials --level user | vyr-classification import copy --level user "
                 "--replace"}) +
        "\n\nReads 'export' or 'show --json' output (an object with a \"pairs\" array, or the array\n"
        "alone); only \"source\" and \"classified\" count. Without --replace, a source id that the\n"
        "level does not list yet starts from its merged set, as with 'add'. Source ids the file does\n"
        "not list are left as they are. The whole file is checked before anything is written, and\n"
        "the report says what changed; an import that changes nothing writes nothing." +
        kDashNote);

    // edit
    std::string handEditId;
    std::string handEditLevel;
    CLI::App* handEditCommand = app.add_subcommand(
        "edit", "Edit a level file by hand in $VISUAL or $EDITOR, under the level's lock; only what reads is written");
    handEditCommand->add_option("ID", handEditId, "Classification id")->required()->type_name("")->check(kId);
    handEditCommand->add_option("--level", handEditLevel, "The level whose file is edited")
        ->required()
        ->type_name("LEVEL")
        ->check(kWritableLevel);
    handEditCommand->footer(
        example({"vyr-classification edit materials --level user", "EDITOR=nano vyr-classification edit materials "
                                                                    "--level shared"}) +
        "\n\nThe file is copied to a temporary file and $VISUAL, else $EDITOR, else vi runs on the\n"
        "copy while the level stays locked: other edits of the level wait (a few seconds) or are\n"
        "refused, never lost. When the editor ends, the copy is read as the store reads a level\n"
        "file; one that does not read is named with its line and column, and you choose to edit\n"
        "it again or to discard it. Nothing that does not read is ever written. Standard input\n"
        "must be a terminal; scripts use export and import." +
        kDashNote);

    // check
    bool boCheckJson = false;
    bool boAllowMissing = false;
    CLI::App* checkCommand =
        app.add_subcommand("check", "Read every mapping file; report those that do not read, missing level folders "
                                    "and mapping files where the store never reads");
    checkCommand->add_flag("--json", boCheckJson, "Print JSON");
    checkCommand->add_flag("--allow-missing", boAllowMissing, "A level folder that does not exist is no warning");
    checkCommand->footer(example({"vyr-classification --root examples/data check"}) +
                         "\n\nA file at level shared or user that reads but that the store will not lock for an\n"
                         "edit (a symbolic link, a file with several hard links) is reported with the command\n"
                         "that mends it. A level folder whose file system does not share locks between\n"
                         "machines (CIFS mounted with nobrl, NFS with nolock or local_lock, many FUSE file\n"
                         "systems) is a warning. Status 1 when a file does not read or cannot be edited, 3 when\n"
                         "there are only warnings.");

    // create
    CreateOptions create;
    std::string createLevel;
    CLI::App* createCommand =
        app.add_subcommand("create", "Create a classification's file at a level; never replaces a file");
    createCommand->add_option("ID", create.id, "Classification id")->required()->type_name("")->check(kId);
    createCommand->add_option("--level", createLevel, "The level whose folder receives the file")
        ->required()
        ->type_name("LEVEL")
        ->check(kWritableLevel);
    createCommand->add_option("--text2", create.sText2, "Text attribute 2")->type_name("TEXT")->check(kText);
    createCommand->add_option("--text3", create.sText3, "Text attribute 3")->type_name("TEXT")->check(kText);
    createCommand->add_option("--text4", create.sText4, "Text attribute 4")->type_name("TEXT")->check(kText);
    createCommand->add_option("--text5", create.sText5, "Text attribute 5")->type_name("TEXT")->check(kText);
    createCommand->add_flag("--flag1", create.boFlag1, "Set flag 1");
    createCommand->add_flag("--flag2", create.boFlag2, "Set flag 2");
    createCommand->footer(example({"vyr-classification create finishes --level user --text2 \"Surface finishes\""}) +
                          kDashNote);

    // add, set, remove, remove-source, remove-classified, inherit
    EditOptions edit;
    std::string editLevel;
    const auto editCommand = [&](const char* name, const char* description, bool boSource, bool boClassified,
                                 bool boClassifiedOptional, std::initializer_list<std::string_view> examples) {
        CLI::App* command = app.add_subcommand(name, description);
        command->add_option("ID", edit.id, "Classification id")->required()->type_name("")->check(kId);
        if (boSource) {
            command->add_option("SOURCE", edit.source, "Source id")->required()->type_name("TEXT")->check(kText);
        }
        if (boClassified) {
            CLI::Option* option =
                command->add_option("CLASSIFIED", edit.classified, "Classified id")->type_name("TEXT")->check(kText);
            if (!boClassifiedOptional) {
                option->required();
            }
        }
        command->add_option("--level", editLevel, "The level to edit; its file is written back")
            ->required()
            ->type_name("LEVEL")
            ->check(kWritableLevel);
        command->footer(example(examples) + kDashNote);
        return command;
    };
    CLI::App* addCommand =
        editCommand("add", "Add a pair at a level: the source id keeps what it shows now and gains CLASSIFIED", true,
                    true, false, {"vyr-classification add materials bolt zinc --level user"});
    addCommand->footer(addCommand->get_footer() +
                       "\n\nA level that does not list SOURCE yet starts from the set that 'show' prints for it\n"
                       "(the merged set), adds CLASSIFIED, and decides SOURCE from then on.\n"
                       "To hand the decision back to the levels below: vyr-classification inherit.");
    CLI::App* setCommand =
        editCommand("set", "Make CLASSIFIED the source id's only classified id at a level, replacing what it had",
                    true, true, false, {"vyr-classification set materials clip steel --level shared"});
    setCommand->footer(setCommand->get_footer() +
                       "\n\nThe level decides SOURCE from then on; what the levels below give it is replaced.");
    CLI::App* removeCommand =
        editCommand("remove", "Remove a pair at a level; without CLASSIFIED, every classified id of the source id",
                    true, true, true, {"vyr-classification remove materials panel glass --level user"});
    CLI::App* removeSourceCommand =
        editCommand("remove-source", "Remove every classified id of a source id at a level (it stays listed, empty)",
                    true, false, false, {"vyr-classification remove-source materials clip --level shared"});
    CLI::App* removeClassifiedCommand =
        editCommand("remove-classified", "Remove a classified id from every source id at a level", false, true, false,
                    {"vyr-classification remove-classified materials glass --level user"});
    CLI::App* inheritCommand = editCommand(
        "inherit",
        "Undo a level's override: the level no longer lists SOURCE, so the levels below decide it again",
        true, false, false, {"vyr-classification inherit materials gasket --level user"});

    // classify
    ClassifyOptions classify;
    std::string classifyIn;
    std::string classifyOut;
    CLI::App* classifyCommand = app.add_subcommand(
        "classify", "Run the classification module (the sample: keep MAPPING's pairs that FILTER allows, write them "
                    "into the --update classification)");
    classifyCommand->add_option("MAPPING", classify.mapping, "The classification id to read")
        ->required()
        ->type_name("")
        ->check(kId);
    classifyCommand->add_option("--filter", classify.filter, "The classification that allows classified ids")
        ->required()
        ->type_name("ID")
        ->check(kId);
    classifyCommand->add_option("--in", classifyIn, "Read MAPPING's levels up to this one")
        ->required()
        ->type_name("LEVEL")
        ->check(kAnyLevel);
    classifyCommand->add_option("--out", classifyOut, "Write at this level")
        ->required()
        ->type_name("LEVEL")
        ->check(kWritableLevel);
    classifyCommand->add_option("--update", classify.update, "The classification to write into")
        ->required()
        ->type_name("ID")
        ->check(kId);
    classifyCommand
        ->add_option("--module", classify.module,
                     std::string("The module library to run: a path, or a file name looked for like the default "
                                 "(the sample module: ") +
                         kSampleModuleFile + ")")
        ->type_name("FILE");
    classifyCommand->footer(
        example({std::string("vyr-classification classify materials --filter approved-materials --in user --out user "
                             "--update approved-parts --module ") +
                 kSampleModuleFile}) +
        "\n\nWithout --module, the runtime looks for " + managed::runtime::kModuleFileName +
        " in the program's folder, the folders of its RUNPATH and the bridge library's folder, and runs the first "
        "it finds. The last line names the module file that ran."
        "\n\nWith the sample module, a pair (s, c) is kept when FILTER maps c to \"allow\"."
        "\nA progress bar is drawn on standard error when it is a terminal." +
        kDashNote);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(error); // --help
        }
        std::string command;
        std::string message = oneLine(error.what());
        const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
        const std::string unknown = unknownOptionGet(app, chosen, argc, argv);
        if (chosen != nullptr) {
            command = " " + chosen->get_name();
        }
        const bool boRootTyped = std::any_of(argv + 1, argv + argc, [](std::string_view arg) {
            return arg == "--root" || arg.starts_with("--root=");
        });
        if (!unknown.empty()) {
            message = "unknown option '" + unknown + "'";
        } else if (message.starts_with("--root: ") && !boRootTyped) {
            // The root came from the environment: name where it was set.
            message = "VYR_CLASSIFICATION_ROOT (the default of --root): " + message.substr(8);
        } else if (chosen == nullptr) {
            message = app.remaining().empty() ? "no command given"
                                              : "unknown command '" + app.remaining().front() + "'";
        }
        std::cerr << "vyr-classification" << command << ": " << message << " (see: vyr-classification" << command
                  << " --help)\n";
        return kExitUsage;
    }

    CLI::App* chosen = app.get_subcommands().front();
    // A file size limit ends a write with an error the store reports, not
    // with the signal that would kill the tool without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        // The commands that write learn from the store's assertion records
        // whether their write happened.
        if (boVerbose) {
            vyr::assert::Assert::vListenerSet([](const vyr::assert::AssertInfo& info) {
                std::cerr << "assertion: " << info.message() << " (" << info.function() << ", " << info.fileName()
                          << ':' << info.lineNo() << ")\n";
            });
        }
        vyr::assert::Assert::vEnable(true);
        FolderOptions folderOptions;
        folderOptions.root = root;
        if (system) {
            folderOptions.system = *system;
        }
        folderOptions.shared.assign(shared.begin(), shared.end());
        if (user) {
            folderOptions.user = *user;
        }
        vDirectoriesSet(folderOptions);
        const Context context{levelFoldersGet(), std::cout, std::cerr};

        // Ids too long for a file name in the level folders, before anything
        // is read or written: one that no level could hold is refused for
        // reading, one whose file or the store's temporary file would not fit
        // at the level written is refused for writing.
        const auto idProblem = [&](const std::string& id, std::optional<Level> written) -> std::string {
            if (written) {
                return sIdLengthProblemGet(context.folders, *written, id, true);
            }
            std::string first;
            for (const auto& entry : context.folders) {
                std::string problem = sIdLengthProblemGet(context.folders, entry.first, id, false);
                if (problem.empty()) {
                    return {};
                }
                first = first.empty() ? std::move(problem) : first;
            }
            return first;
        };
        std::vector<std::pair<std::string, std::optional<Level>>> ids;
        if (chosen == showCommand) {
            ids.emplace_back(show.id, std::nullopt);
        } else if (chosen == overridesCommand && *overridesIdOption) {
            ids.emplace_back(overridesId, std::nullopt);
        } else if (chosen == catCommand) {
            ids.emplace_back(catId, std::nullopt);
        } else if (chosen == exportCommand) {
            ids.emplace_back(exported.id, std::nullopt);
        } else if (chosen == importCommand) {
            ids.emplace_back(import.id, levelParse(importLevel));
        } else if (chosen == handEditCommand) {
            ids.emplace_back(handEditId, levelParse(handEditLevel));
        } else if (chosen == createCommand) {
            ids.emplace_back(create.id, levelParse(createLevel));
        } else if (chosen == classifyCommand) {
            ids.emplace_back(classify.mapping, std::nullopt);
            ids.emplace_back(classify.filter, std::nullopt);
            ids.emplace_back(classify.update, levelParse(classifyOut));
        } else if (!editLevel.empty()) {
            ids.emplace_back(edit.id, levelParse(editLevel));
        }
        for (const auto& [id, written] : ids) {
            const std::string problem = idProblem(id, written);
            if (!problem.empty()) {
                std::cerr << "vyr-classification " << chosen->get_name() << ": " << problem
                          << (written ? "; nothing changed\n" : "\n");
                return kExitUsage;
            }
        }

        if (chosen == foldersCommand) {
            return iFoldersRun(context);
        }
        if (chosen == listCommand) {
            return iListRun(context, boListJson);
        }
        if (chosen == showCommand) {
            if (*showSourceOption) {
                show.source = showSource;
            }
            if (*showClassifiedOption) {
                show.classified = showClassified;
            }
            if (*showLevelOption) {
                show.level = levelParse(showLevel);
            }
            return iShowRun(context, show);
        }
        if (chosen == overridesCommand) {
            return iOverridesRun(context, *overridesIdOption ? std::optional<std::string>(overridesId) : std::nullopt,
                                 boOverridesJson);
        }
        if (chosen == catCommand) {
            return iCatRun(context, catId);
        }
        if (chosen == exportCommand) {
            exported.boExport = true;
            if (*exportLevelOption) {
                exported.level = levelParse(exportLevel);
            }
            return iShowRun(context, exported);
        }
        if (chosen == importCommand) {
            import.level = *levelParse(importLevel);
            return iImportRun(context, import, std::cin);
        }
        if (chosen == handEditCommand) {
            return iHandEditRun(context, handEditId, *levelParse(handEditLevel), ::isatty(STDIN_FILENO) == 1,
                                std::cin);
        }
        if (chosen == checkCommand) {
            return iCheckRun(context, boCheckJson, boAllowMissing);
        }
        if (chosen == createCommand) {
            create.level = *levelParse(createLevel);
            return iCreateRun(context, create);
        }
        if (chosen == classifyCommand) {
            classify.in = *levelParse(classifyIn);
            classify.out = *levelParse(classifyOut);
            return iClassifyRun(context, classify, ::isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr);
        }
        edit.level = *levelParse(editLevel);
        edit.command = chosen->get_name();
        if (chosen == addCommand) {
            edit.edit = Edit::Add;
        } else if (chosen == setCommand) {
            edit.edit = Edit::Set;
        } else if (chosen == removeCommand) {
            edit.edit = removeCommand->get_option("CLASSIFIED")->count() != 0 ? Edit::Remove : Edit::RemoveSource;
        } else if (chosen == removeSourceCommand) {
            edit.edit = Edit::RemoveSource;
        } else if (chosen == removeClassifiedCommand) {
            edit.edit = Edit::RemoveClassified;
        } else if (chosen == inheritCommand) {
            edit.edit = Edit::Inherit;
        }
        return iEditRun(context, edit);
    } catch (const std::exception& error) {
        std::cerr << "vyr-classification " << chosen->get_name() << ": " << oneLine(error.what()) << '\n';
        return kExitFailed;
    }
}
