// A C++ exception ends a face function as a status, and the bridge's own
// code can throw the very same exception object again from its token: the
// road by which a store error inside a managed module's call reaches the
// native host unchanged.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bridge/StoreFace.h"
#include "bridge/StoreFaceInternal.h"
#include "external/classification/ClassificationUiCallbackInterface.h"

namespace {

struct Marker : std::runtime_error {
    Marker() : std::runtime_error("the host's own error") { thrown = this; }
    static inline const Marker* thrown = nullptr;
};

// A host's callback whose message line fails.
class FailingCallback : public vyr::classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int, int) override {}
    void vMessage(const std::string&) override { throw Marker(); }
};

std::uint64_t lastToken(std::string& type, std::string& message) {
    vyr_error* error = nullptr;
    EXPECT_EQ(vyr_error_get(&error), VYR_OK);
    if (error == nullptr) {
        return 0;
    }
    const std::uint64_t token = error->token;
    type.assign(error->type.data, error->type.size);
    message.assign(error->message.data, error->message.size);
    vyr_free(error);
    return token;
}

TEST(StoreFaceError, AnExceptionIsKeptAndThrownAgainUnchanged) {
    FailingCallback callback;
    const vyr_text line{"x", 1};
    ASSERT_EQ(vyr_callback_message(&callback, line), VYR_ERROR);
    std::string type;
    std::string message;
    const std::uint64_t token = lastToken(type, message);
    EXPECT_EQ(type, "(anonymous namespace)::Marker");
    EXPECT_EQ(message, "the host's own error");
    try {
        vyr::bridge::face::vKeptErrorRethrow(token);
        ADD_FAILURE() << "nothing thrown";
    } catch (const Marker& caught) {
        EXPECT_EQ(&caught, Marker::thrown);
    }

    // The face keeps the last few: an old token is forgotten, and the call returns.
    const vyr_text bad{"\xff", 1};
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(vyr_directories_set(bad, nullptr, 0, bad), VYR_ERROR);
    }
    EXPECT_NE(lastToken(type, message), token);
    EXPECT_EQ(type, "std::system_error");
    EXPECT_NO_THROW(vyr::bridge::face::vKeptErrorRethrow(token));
}

} // namespace
