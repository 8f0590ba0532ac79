#include "external/assert/Assert.h"

#include <atomic>
#include <mutex>
#include <ostream>

#include "assert/AssertInfo.h"
#include "assert/AssertInfoWrapper.h"

namespace vyr::assert {
namespace {

struct SinkState {
    std::atomic<bool> enabled{false};
    std::mutex mutex;
    std::vector<AssertInfoWrapper> records; // guarded by mutex
    Assert::Listener listener;              // guarded by mutex
};

SinkState& state() {
    static SinkState sink;
    return sink;
}

} // namespace

bool Assert::isEnabled() noexcept { return state().enabled.load(std::memory_order_relaxed); }

void Assert::addAssert(const AssertInfo& info) {
    SinkState& sink = state();
    const std::lock_guard lock(sink.mutex);
    sink.records.emplace_back(info);
    if (sink.listener) {
        sink.listener(*sink.records.back());
    }
}

void Assert::vEnable(bool boEnabled) noexcept { state().enabled.store(boEnabled, std::memory_order_relaxed); }

std::vector<AssertInfoWrapper> Assert::recordsGet() {
    SinkState& sink = state();
    const std::lock_guard lock(sink.mutex);
    return sink.records;
}

void Assert::vClear() {
    SinkState& sink = state();
    const std::lock_guard lock(sink.mutex);
    sink.records.clear();
}

void Assert::vPrint(std::ostream& out) {
    SinkState& sink = state();
    const std::lock_guard lock(sink.mutex);
    for (const AssertInfoWrapper& record : sink.records) {
        out << record->message() << " (" << record->function() << ", " << record->fileName() << ':'
            << record->lineNo() << ")\n";
    }
}

void Assert::vListenerSet(Listener listener) {
    SinkState& sink = state();
    const std::lock_guard lock(sink.mutex);
    sink.listener = std::move(listener);
}

} // namespace vyr::assert
