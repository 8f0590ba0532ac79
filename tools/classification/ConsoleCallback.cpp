#include "tools/classification/ConsoleCallback.h"

#include <algorithm>

namespace vyr::tool {

namespace {
constexpr int kBarWidth = 30;
} // namespace

ConsoleCallback::~ConsoleCallback() {
    if (boBarShown_) {
        *terminal_ << '\n' << std::flush;
    }
}

void ConsoleCallback::vProgress(int iDone, int iTotal) {
    if (terminal_ == nullptr) {
        return;
    }
    done_ = std::clamp(iDone, 0, std::max(iTotal, 0));
    total_ = std::max(iTotal, 0);
    vBarDraw();
    if (done_ == total_) {
        // The run is through: leave the full bar on its own line.
        *terminal_ << '\n' << std::flush;
        boBarShown_ = false;
    }
}

void ConsoleCallback::vMessage(const std::string& sMessage) {
    const bool boRedraw = boBarShown_;
    vBarErase();
    out_ << sMessage << '\n' << std::flush;
    if (boRedraw) {
        vBarDraw();
    }
}

void ConsoleCallback::vBarDraw() {
    const int filled = total_ == 0 ? kBarWidth : done_ * kBarWidth / total_;
    *terminal_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
               << std::string(static_cast<std::size_t>(kBarWidth - filled), '-') << "] " << done_ << '/' << total_
               << std::flush;
    boBarShown_ = true;
}

void ConsoleCallback::vBarErase() {
    if (boBarShown_) {
        *terminal_ << "\r\033[K" << std::flush;
        boBarShown_ = false;
    }
}

} // namespace vyr::tool
