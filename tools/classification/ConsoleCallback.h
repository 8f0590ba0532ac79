#pragma once

#include <ostream>
#include <string>

#include "external/classification/ClassificationUiCallbackInterface.h"

namespace vyr::tool {

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
    ~ConsoleCallback() override;

    void vProgress(int iDone, int iTotal) override;
    void vMessage(const std::string& sMessage) override;

private:
    void vBarDraw();
    void vBarErase();

    std::ostream& out_;
    std::ostream* terminal_;
    int done_ = 0;
    int total_ = 0;
    bool boBarShown_ = false;
};

} // namespace vyr::tool
