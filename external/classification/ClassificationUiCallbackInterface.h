#pragma once

#include <string>

namespace vyr::classification {

// The native user interface's callback during a classification run. The
// managed callback proxy reaches it; the bridge only passes its address on.
class ClassificationUiCallbackInterface {
public:
    virtual ~ClassificationUiCallbackInterface() = default;
    // iDone of iTotal steps are finished.
    virtual void vProgress(int iDone, int iTotal) = 0;
    // A line of text for the person watching the run.
    virtual void vMessage(const std::string& sMessage) = 0;
};

} // namespace vyr::classification
