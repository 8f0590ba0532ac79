#include "tools/classification/CommandLine.h"

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"

namespace vyr::tool {

namespace {

using bridge::classification::AdminWrapper;

const CLI::Validator kId([](std::string& id) { return AdminWrapper::sIdProblemGet(id); }, "");
// "system" is the sys level's other name: its folder is called so.
const CLI::IsMember kAnyLevel({"sys", "system", "shared", "user"});
const CLI::IsMember kWritableLevel({"shared", "user"});

} // namespace

CLI::Option* idAdd(CLI::App& app, std::vector<IdArg>& ids, const std::string& name, std::optional<std::string>& id,
                   const std::string& description, const std::optional<std::string>* written) {
    ids.push_back({&id, written});
    return app.add_option(name, id, description)->type_name(name.starts_with("-") ? "ID" : "")->check(kId);
}

CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable) {
    return app.add_option(name, level, description)
        ->type_name("LEVEL")
        ->check(boWritable ? kWritableLevel : kAnyLevel);
}

void vFooterSet(CLI::App& app, std::initializer_list<std::string_view> examples, std::string_view text,
                bool boDashNote) {
    std::string footer = "Example:";
    for (const std::string_view line : examples) {
        footer += "\n  " + std::string(line);
    }
    footer += text;
    if (boDashNote) {
        footer += "\n\nAn id that begins with '-' goes after '--', which ends the options:\n"
                  "  vyr-classification show -- -draft\n"
                  "  vyr-classification add materials --level user -- -bolt zinc";
    }
    app.footer(footer);
}

} // namespace vyr::tool
