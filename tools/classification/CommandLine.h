#pragma once

// How the commands declare their options: ids and texts checked by the
// store's own rules, levels by name, and the "Example" footer of --help.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "tools/classification/Commands.h"

namespace vyr::tool {

// A positional id (or an option, when the name begins with '-'), checked
// by the store's id rule and listed among the command's ids; `written`:
// the level option it is written at, or null.
CLI::Option* idAdd(CLI::App& app, std::vector<IdArg>& ids, const std::string& name, std::optional<std::string>& id,
                   const std::string& description, const std::optional<std::string>* written = nullptr);
// A text that the store must be able to keep (its text rule).
// Text: a std::string or an optional one.
template <class Text>
CLI::Option* textAdd(CLI::App& app, const std::string& name, Text& text, const std::string& description) {
    return app.add_option(name, text, description)->type_name("TEXT")->check(CLI::Validator(
        [](std::string& value) { return bridge::classification::AdminWrapper::sTextProblemGet(value); }, ""));
}
// A LEVEL option: any level, or only the writable ones.
CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable);
// The footer: "Example:" with the lines, then the text, then (for commands
// that take ids) how to pass an id that begins with '-'.
void vFooterSet(CLI::App& app, std::initializer_list<std::string_view> examples, std::string_view text = "",
                bool boDashNote = true);

} // namespace vyr::tool
