// A classification module ("assembly") for the tests: each construction and
// call, with its arguments, lands in a log that the tests read, together with
// the creations that the runtime reports. The tests name its file to the
// runtime as a host would.

#include "tests/support/RecordingModule.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "external/managed/Runtime.h"

namespace vyr::test {
namespace {

// The log and the planned failure, guarded by `mutex`.
struct Log {
    std::mutex mutex;
    std::vector<Record> records;
    std::string sFailingOperation;
};

Log& logGet() {
    static Log log;
    return log;
}

// Appends the record, then throws if its operation is the planned failure.
void vRecord(Record record) {
    Log& log = logGet();
    const std::string sOperation = record.sOperation;
    bool boFail = false;
    {
        const std::lock_guard<std::mutex> lock(log.mutex);
        boFail = !log.sFailingOperation.empty() && log.sFailingOperation == record.sOperation;
        log.records.push_back(std::move(record));
    }
    if (boFail) {
        throw std::runtime_error(sOperation + " failed");
    }
}

// The object itself, whatever base the handle is typed as.
template <class T>
const void* objectGet(const managed::Handle<T>& handle) {
    if constexpr (std::is_polymorphic_v<T>) {
        return dynamic_cast<const void*>(handle.get());
    } else {
        return handle.get();
    }
}

std::u16string codeUnitsGet(const managed::Handle<managed::System::String>& text) {
    return text ? std::u16string(text->view()) : std::u16string();
}

} // namespace

void Recorder::vStart() {
    Log& log = logGet();
    {
        const std::lock_guard<std::mutex> lock(log.mutex);
        log.records.clear();
        log.sFailingOperation.clear();
    }
    managed::runtime::vAllocationObserverSet([](std::string_view sManagedTypeName, const void* object) {
        Record record;
        record.sOperation = "new " + std::string(sManagedTypeName);
        record.object = object;
        Log& observed = logGet();
        const std::lock_guard<std::mutex> lock(observed.mutex);
        observed.records.push_back(std::move(record));
    });
}

void Recorder::vStop() { managed::runtime::vAllocationObserverSet({}); }

std::vector<Record> Recorder::recordsGet() {
    Log& log = logGet();
    const std::lock_guard<std::mutex> lock(log.mutex);
    return log.records;
}

std::vector<std::string> Recorder::operationsGet() {
    std::vector<std::string> operations;
    for (Record& record : recordsGet()) {
        operations.push_back(std::move(record.sOperation));
    }
    return operations;
}

void Recorder::vFailureSet(std::string_view sOperation) {
    Log& log = logGet();
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.sFailingOperation = sOperation;
}

RecordingModule::RecordingModule() {
    Record record;
    record.sOperation = "construct";
    record.object = this;
    vRecord(std::move(record));
}

void RecordingModule::vInit(managed::Handle<managed::vyr::bridge::IDirectories> directories,
                            managed::Handle<managed::vyr::bridge::classification::Admin> classificationAdmin,
                            managed::Handle<managed::vyr::bridge::definition::Admin> definitionAdmin) {
    Record record;
    record.sOperation = "vInit";
    record.object = this;
    record.arguments = {objectGet(directories), objectGet(classificationAdmin), objectGet(definitionAdmin)};
    record.natives = {&directories->nativeGet(), &classificationAdmin->nativeGet(), &definitionAdmin->nativeGet()};
    directories_ = std::move(directories);
    classificationAdmin_ = std::move(classificationAdmin);
    definitionAdmin_ = std::move(definitionAdmin);
    vRecord(std::move(record));
}

void RecordingModule::vClassify(
    managed::Handle<managed::System::String> classificationMappingName,
    managed::Handle<managed::System::String> classificationFilterMappingName, std::int32_t iLevel,
    std::int32_t outputLevel, managed::Handle<managed::System::String> definitionToUpdate,
    managed::Handle<managed::vyr::bridge::classification::CommonClassificationCallback> classificationCallback) {
    Record record;
    record.sOperation = "vClassify";
    record.object = this;
    record.arguments = {objectGet(classificationMappingName), objectGet(classificationFilterMappingName),
                        objectGet(definitionToUpdate), objectGet(classificationCallback)};
    record.strings = {codeUnitsGet(classificationMappingName), codeUnitsGet(classificationFilterMappingName),
                      codeUnitsGet(definitionToUpdate)};
    record.integers = {iLevel, outputLevel};
    record.natives = {classificationCallback ? classificationCallback->nativeGet() : nullptr};
    vRecord(std::move(record));
}

void RecordingModule::vClassifyNodes(managed::Handle<managed::System::String> classificationMappingName,
                                     managed::Handle<managed::vyr::bridge::definition::Node> sourceNodes) {
    Record record;
    record.sOperation = "vClassifyNodes";
    record.object = this;
    record.arguments = {objectGet(classificationMappingName), objectGet(sourceNodes)};
    record.strings = {codeUnitsGet(classificationMappingName)};
    record.natives = {&sourceNodes->nativeGet()};
    vRecord(std::move(record));
}

} // namespace vyr::test
