#include "tools/classification/PairReading.h"

#include <iterator>
#include <optional>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "tools/classification/TextRules.h"

namespace vyr::tool {

namespace {

// The careful reader: follows the document event by event with the
// parser's own checks, knows where it is (the pairs array, a pair, a member
// of a pair) and says what is wrong and where. Never holds the document as a
// tree. One document, one thread.
class PairReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit PairReader(Wanted& wanted) : wanted_(wanted) {}

    // Empty after a document that gave its pairs.
    [[nodiscard]] std::string problemGet() const {
        if (!problem_.empty()) {
            return problem_;
        }
        return boPairsSeen_ ? std::string() : "no \"pairs\" array";
    }

    bool null() override { return boScalar(nullptr); }
    bool boolean(bool) override { return boScalar("true or false"); }
    bool number_integer(number_integer_t) override { return boScalar("a number"); }
    bool number_unsigned(number_unsigned_t) override { return boScalar("a number"); }
    bool number_float(number_float_t, const string_t&) override { return boScalar("a number"); }
    bool binary(binary_t&) override { return boScalar("binary data"); }
    bool string(string_t& text) override {
        if (boInPair() && (key_ == "source" || key_ == "classified")) {
            const std::string problem = sTextProblemGet(text);
            if (!problem.empty()) {
                return boFail("its " + key_ + " id " + problem);
            }
            (key_ == "source" ? source_ : classified_) = std::move(text);
            return true;
        }
        return boScalar("text");
    }

    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            boTopObject_ = true;
        } else if (boAtPairs()) {
            ++pairs_;
            source_.reset();
            classified_.reset();
            key_.clear();
        }
        ++depth_;
        return true;
    }
    bool key(string_t& key) override {
        if (depth_ == 1 && boTopObject_) {
            topKey_ = key;
        } else if (boInPair()) {
            key_ = key;
        }
        return true;
    }
    bool end_object() override {
        --depth_;
        if (boAtPairs()) {
            if (!source_) {
                return boFail("it has no \"source\" text");
            }
            // Exported pairs come sorted by source id: most land at the end.
            auto at = wanted_.end();
            if (wanted_.empty() || std::prev(at)->first < *source_) {
                at = wanted_.emplace_hint(at, std::move(*source_), std::set<std::string>());
            } else if (std::prev(at)->first == *source_) {
                --at;
            } else {
                at = wanted_.try_emplace(std::move(*source_)).first;
            }
            if (classified_) {
                at->second.emplace_hint(at->second.end(), std::move(*classified_));
            }
        }
        return true;
    }
    bool start_array(std::size_t) override {
        if (boAtPairs()) {
            return boScalar("an array");
        }
        ++depth_;
        if (!boPairsSeen_ && !boInPairs_ && (depth_ == 1 || (depth_ == 2 && boTopObject_ && topKey_ == "pairs"))) {
            boInPairs_ = true;
            pairsDepth_ = depth_;
        }
        return true;
    }
    bool end_array() override {
        if (boAtPairs()) {
            boInPairs_ = false;
            boPairsSeen_ = true;
        }
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...", without the bracket.
        const std::string text = error.what();
        const std::size_t from = text.find("] ");
        problem_ = from == std::string::npos ? text : text.substr(from + 2);
        return false;
    }

private:
    // Directly inside the pairs array, or directly inside one pair.
    [[nodiscard]] bool boAtPairs() const { return boInPairs_ && depth_ == pairsDepth_; }
    [[nodiscard]] bool boInPair() const { return boInPairs_ && depth_ == pairsDepth_ + 1; }

    // A value that is not an object: fine outside the pairs, an error as a
    // pair or as its source id, and as its classified id unless null.
    bool boScalar(const char* kind) {
        const std::string shown = kind == nullptr ? "null" : kind;
        if (boAtPairs()) {
            ++pairs_;
            return boFail("it is " + shown + ", not an object");
        }
        if (boInPair() && key_ == "source") {
            return boFail("its \"source\" is " + shown + ", not text");
        }
        if (boInPair() && key_ == "classified") {
            if (kind == nullptr) {
                classified_.reset();
                return true;
            }
            return boFail("its \"classified\" is " + shown + ", not text or null");
        }
        if (!boPairsSeen_ && depth_ == 1 && boTopObject_ && topKey_ == "pairs") {
            problem_ = "\"pairs\" is not an array";
            return false;
        }
        return true;
    }

    bool boFail(const std::string& message) {
        problem_ = "pair " + std::to_string(pairs_) + ": " + message;
        return false;
    }

    Wanted& wanted_;
    int depth_ = 0;
    int pairsDepth_ = 0;     // the depth of the pairs array's elements
    bool boInPairs_ = false; // the pairs array is open
    bool boPairsSeen_ = false;
    bool boTopObject_ = false;
    std::string topKey_;
    std::string key_;
    std::size_t pairs_ = 0;
    std::optional<std::string> source_;
    std::optional<std::string> classified_;
    std::string problem_;
};

} // namespace

static_assert(kPairsTextSpare >= simdjson::SIMDJSON_PADDING);

bool boPairsReadFast(std::string_view text, std::size_t capacity, Wanted& wanted) {
    // A whole-document parse that checks the syntax and UTF-8 of everything
    // at several gigabytes a second; the pairs are then taken from its tape.
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    const auto parsed = capacity >= text.size() + simdjson::SIMDJSON_PADDING
                            ? parser.parse(simdjson::padded_string_view(text.data(), text.size(), capacity))
                            : parser.parse(text.data(), text.size());
    if (parsed.get(root) != simdjson::SUCCESS) {
        return false;
    }
    simdjson::dom::array pairs;
    simdjson::dom::object top;
    if (root.get(top) == simdjson::SUCCESS) {
        bool boFound = false;
        for (const simdjson::dom::key_value_pair field : top) {
            if (field.key == "pairs") {
                if (field.value.get(pairs) != simdjson::SUCCESS) {
                    return false;
                }
                boFound = true;
                break;
            }
        }
        if (!boFound) {
            return false;
        }
    } else if (root.get(pairs) != simdjson::SUCCESS) {
        return false;
    }
    for (const simdjson::dom::element pair : pairs) {
        simdjson::dom::object members;
        if (pair.get(members) != simdjson::SUCCESS) {
            return false;
        }
        // As in the careful reader, the last of a repeated member counts.
        std::optional<std::string_view> source;
        std::optional<std::string_view> classified;
        for (const simdjson::dom::key_value_pair field : members) {
            const bool boSource = field.key == "source";
            if (!boSource && field.key != "classified") {
                continue;
            }
            std::string_view value;
            if (field.value.get(value) == simdjson::SUCCESS) {
                if (!sTextProblemGet(value).empty()) {
                    return false;
                }
                (boSource ? source : classified) = value;
            } else if (!boSource && field.value.is_null()) {
                classified.reset();
            } else {
                return false;
            }
        }
        if (!source) {
            return false;
        }
        auto at = wanted.end();
        if (wanted.empty() || std::prev(at)->first < *source) {
            at = wanted.emplace_hint(at, *source, std::set<std::string>());
        } else if (std::prev(at)->first == *source) {
            --at;
        } else {
            at = wanted.try_emplace(std::string(*source)).first;
        }
        if (classified) {
            at->second.emplace_hint(at->second.end(), *classified);
        }
    }
    return true;
}

std::string sPairsReadCareful(std::string_view text, Wanted& wanted) {
    PairReader reader(wanted);
    (void)nlohmann::json::sax_parse(text, &reader);
    return reader.problemGet();
}

std::string sPairsRead(const std::string& text, Wanted& wanted) {
    if (boPairsReadFast(text, text.capacity(), wanted)) {
        return {};
    }
    wanted.clear();
    return sPairsReadCareful(text, wanted);
}

} // namespace vyr::tool
