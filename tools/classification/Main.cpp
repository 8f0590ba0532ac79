// vyr-classification: shows and edits the classification store as the
// library sees it. It reaches the store only through the bridge library's
// outside face (AdminWrapper and the WriteAccess it hands out), so what it
// shows is exactly what the library does.
//
// The whole command line is checked before anything is read or written:
// unknown commands, options and level names, missing arguments and ids that
// no mapping file could hold end the run with status 2 and one line on
// standard error.

#include <csignal>
#include <exception>
#include <iostream>

#include "external/assert/Assert.h"
#include "external/directories/Directories.h"
#include "tools/classification/Tool.h"

namespace {

using namespace vyr::tool;
using namespace vyr;
namespace fs = std::filesystem;

// The tool's own options, given before or after the command. The
// directory service's three folders: --root DIR gives DIR/system,
// DIR/shared (one shared folder) and DIR/user; --system, --shared
// (repeatable) and --user replace them one by one. A plain value.
struct GlobalOptions {
    fs::path root = ".";
    std::optional<fs::path> system;
    std::vector<fs::path> shared;
    std::optional<fs::path> user;
    bool boVerbose = false;
};

void vGlobalOptionsDeclare(CLI::App& app, GlobalOptions& options) {
    app.set_version_flag("--version", "vyr-classification " VYR_VERSION);
    app.require_subcommand(1);
    app.fallthrough(); // folder options may also follow the command
    app.get_formatter()->column_width(34);
    // Existing folders; the option's type name says DIR already.
    const auto folder = [&](const std::string& name, auto& target, const std::string& description) {
        return app.add_option(name, target, description)
            ->type_name("DIR")
            ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
    };
    folder("--root", options.root,
           "Folder holding system/, shared/ and user/ (default: $VYR_CLASSIFICATION_ROOT, else .)")
        ->envname("VYR_CLASSIFICATION_ROOT");
    folder("--system", options.system, "The system folder (level sys: <it>/Resources/Classification)");
    folder("--shared", options.shared, "A shared folder; repeat for several (level shared)")->allow_extra_args(false);
    folder("--user", options.user, "The user folder (level user: <it>/Classification)");
    app.add_flag("--verbose", options.boVerbose, "Print each assertion record of the library on standard error");
    vFooterSet(app, {"vyr-classification --root examples/data show materials"},
               "\n\nRun 'vyr-classification COMMAND --help' for a command's options.\n"
               "LEVEL is sys (also written system), shared or user; sys is read-only.\n\n"
               "Exit status:\n"
               "  0  done\n"
               "  1  failed: nothing was changed (check: a file does not read or cannot be edited)\n"
               "  2  bad usage: nothing was read or written\n"
               "  3  done, with warnings, each one line on standard error\n"
               "  4  not listed: no level lists the source id given (show --source, remove,\n"
               "     remove-source, inherit); nothing was changed\n\n"
               "An edit that would change nothing says \"nothing changed\", ends with 0 and leaves\n"
               "the file alone.",
               false);
}

// One line, whatever the library's message holds.
std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

// The first option on the command line that neither the tool nor the chosen
// command knows, or empty. Looks no further than "--".
std::string unknownOptionGet(const CLI::App& app, const CLI::App* command, int argc, char** argv) {
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const std::string_view arg = argv[i];
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

// The one line of a command line that does not parse; kExitUsage.
int iUsageError(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
    std::string message = oneLine(error.what());
    const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    const std::string unknown = unknownOptionGet(app, chosen, argc, argv);
    const std::string command = chosen != nullptr ? " " + chosen->get_name() : "";
    const bool boRootTyped = std::any_of(argv + 1, argv + argc, [](std::string_view arg) {
        return arg == "--root" || arg.starts_with("--root=");
    });
    if (!unknown.empty()) {
        message = "unknown option '" + unknown + "'";
    } else if (message.starts_with("--root: ") && !boRootTyped) {
        // The root came from the environment: name where it was set.
        message = "VYR_CLASSIFICATION_ROOT (the default of --root): " + message.substr(8);
    } else if (chosen == nullptr) {
        message = app.remaining().empty() ? "no command given" : "unknown command '" + app.remaining().front() + "'";
    }
    std::cerr << "vyr-classification" << command << ": " << message << " (see: vyr-classification" << command
              << " --help)\n";
    return kExitUsage;
}

// Why the id cannot have a file at the level, or empty when it can, by the
// store's id-length rule; for writing, the store's temporary file must fit
// as well.
std::string sIdLengthProblemGet(Level level, std::string_view id, bool boWriting) {
    const std::string problem = AdminWrapper().sIdLengthProblemGet(id, level, boWriting);
    return problem.empty() ? problem
                           : "the id is " + std::to_string(id.size()) + " bytes long, too long for level " +
                                 std::string(levelName(level)) + ": " + problem;
}

// Ids too long for a file name in the level folders, before anything is
// read or written: one that no level could hold is refused for reading, one
// whose file or the store's temporary file would not fit at the level
// written is refused for writing. kExitSuccess, or kExitUsage.
int iIdsCheck(const Context& context, const std::vector<IdArg>& ids) {
    for (const IdArg& arg : ids) {
        if (!arg.id->has_value()) {
            continue;
        }
        std::string problem;
        if (arg.written != nullptr) {
            problem = sIdLengthProblemGet(*levelParse(arg.written->value()), **arg.id, true);
        } else {
            // The lowest level's reason, unless some level can hold it.
            for (auto it = context.folders.rbegin(); it != context.folders.rend(); ++it) {
                problem = sIdLengthProblemGet(it->first, **arg.id, false);
                if (problem.empty()) {
                    break;
                }
            }
        }
        if (!problem.empty()) {
            context.err << "vyr-classification " << context.command << ": " << problem
                        << (arg.written != nullptr ? "; nothing changed\n" : "\n");
            return kExitUsage;
        }
    }
    return kExitSuccess;
}

// Runs the chosen command on the level folders the options name.
int iRun(const Command& command, const GlobalOptions& options, const Args& args, const std::vector<IdArg>& ids) {
    // A file size limit ends a write with an error the store reports, not
    // with the signal that would kill the tool without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    if (options.boVerbose) {
        vyr::assert::Assert::vListenerSet([](const vyr::assert::AssertInfo& info) {
            std::cerr << "assertion: " << info.message() << " (" << info.function() << ", " << info.fileName() << ':'
                      << info.lineNo() << ")\n";
        });
    }
    vyr::assert::Assert::vEnable(true);
    // The directory service first, then the level folders as the store derives them.
    Directories::vSysDirectorySet(options.system.value_or(options.root / "system"));
    Directories::vSharedDirectoriesSet(options.shared.empty() ? std::vector<fs::path>{options.root / "shared"}
                                                              : options.shared);
    Directories::vUserDirectorySet(options.user.value_or(options.root / "user"));
    Context context{command.name, args, {}, std::cout, std::cerr};
    for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
        context.folders[level] = AdminWrapper().levelFolderGet(level);
    }
    const int status = iIdsCheck(context, ids);
    return status != kExitSuccess ? status : command.run(context);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("Shows and edits classification mapping files at the three levels (sys, shared, user)\n"
                 "exactly as the classification library reads and writes them.",
                 "vyr-classification");
    GlobalOptions options;
    vGlobalOptionsDeclare(app, options);
    Args args;
    // The commands in the order of --help.
    std::vector<Command> table = {kFoldersCommand,  kListCommand,   kShowCommand,     kOverridesCommand, kCatCommand,
                                  kExportCommand,   kImportCommand, kHandEditCommand, kCheckCommand};
    for (const Command& command : editCommands()) {
        table.push_back(command);
    }
    // Each subcommand's command and the ids it takes.
    std::map<const CLI::App*, std::pair<const Command*, std::vector<IdArg>>> subcommands;
    for (const Command& command : table) {
        CLI::App* sub = app.add_subcommand(command.name, command.description);
        subcommands[sub].first = &command;
        command.declare(*sub, args, subcommands[sub].second);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success) ? app.exit(error) // --help
                                                                                  : iUsageError(app, error, argc, argv);
    }
    const auto& [command, ids] = subcommands.at(app.get_subcommands().front());
    // One command, then the end: the store's maps go with the process
    // instead of being freed one by one.
    AdminWrapper::vAdminKeepAtExit();
    try {
        return iRun(*command, options, args, ids);
    } catch (const std::exception& error) {
        std::cerr << "vyr-classification " << command->name << ": " << oneLine(error.what()) << '\n';
        return kExitFailed;
    }
}
