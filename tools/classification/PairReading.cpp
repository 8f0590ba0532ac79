#include "tools/classification/PairReading.h"

#include <nlohmann/json.hpp>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"

namespace vyr::tool {

namespace {

using nlohmann::json;

// What a value is, for a message.
std::string kindOf(const json& value) {
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return "true or false";
    case json::value_t::string:
        return "text";
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    case json::value_t::binary:
        return "binary data";
    default:
        return "a number";
    }
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
            if (std::string problem = bridge::classification::AdminWrapper::sTextProblemGet(member->get_ref<const std::string&>());
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

} // namespace

std::string sPairsRead(std::string_view text, Wanted& wanted) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...", without the bracket.
        const std::string message = error.what();
        return message.substr(message.find("] ") == std::string::npos ? 0 : message.find("] ") + 2);
    }
    const json* pairs = &document;
    if (document.is_object()) {
        const auto found = document.find("pairs");
        if (found == document.end()) {
            return "no \"pairs\" array";
        }
        if (!found->is_array()) {
            return "\"pairs\" is not an array";
        }
        pairs = &*found;
    } else if (!document.is_array()) {
        return "no \"pairs\" array";
    }
    std::size_t number = 0;
    for (const json& pair : *pairs) {
        if (std::string problem = sPairTake(pair, wanted); !problem.empty()) {
            wanted.clear();
            return "pair " + std::to_string(number + 1) + ": " + problem;
        }
        ++number;
    }
    return {};
}

} // namespace vyr::tool
