// A classification module ("assembly") for the tests: it defines the module's
// members so that each construction and call, with its arguments, lands in a
// log that the tests read, together with the creations that the runtime
// reports.

#include "tests/support/RecordingModule.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
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

} // namespace vyr::test

namespace managed::CommonClassification::Modules {

// The recording module keeps the services that vInit bound, as a real
// module would for its run.
struct CommonClassificationModule::Impl {
    Handle<vyr::bridge::IDirectories> directories;
    Handle<vyr::bridge::classification::Admin> classificationAdmin;
    Handle<vyr::bridge::definition::Admin> definitionAdmin;
};

CommonClassificationModule::CommonClassificationModule() : impl_(std::make_unique<Impl>()) {
    ::vyr::test::Record record;
    record.sOperation = "construct";
    record.object = this;
    ::vyr::test::vRecord(std::move(record));
}

CommonClassificationModule::~CommonClassificationModule() = default;

void CommonClassificationModule::vInit(Handle<vyr::bridge::IDirectories> directories,
                                       Handle<vyr::bridge::classification::Admin> classificationAdmin,
                                       Handle<vyr::bridge::definition::Admin> definitionAdmin) {
    ::vyr::test::Record record;
    record.sOperation = "vInit";
    record.object = this;
    record.arguments = {::vyr::test::objectGet(directories), ::vyr::test::objectGet(classificationAdmin),
                        ::vyr::test::objectGet(definitionAdmin)};
    record.natives = {&directories->nativeGet(), &classificationAdmin->nativeGet(), &definitionAdmin->nativeGet()};
    impl_->directories = std::move(directories);
    impl_->classificationAdmin = std::move(classificationAdmin);
    impl_->definitionAdmin = std::move(definitionAdmin);
    ::vyr::test::vRecord(std::move(record));
}

void CommonClassificationModule::vClassify(
    Handle<System::String> classificationMappingName, Handle<System::String> classificationFilterMappingName,
    std::int32_t iLevel, std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
    Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback) {
    ::vyr::test::Record record;
    record.sOperation = "vClassify";
    record.object = this;
    record.arguments = {::vyr::test::objectGet(classificationMappingName),
                        ::vyr::test::objectGet(classificationFilterMappingName),
                        ::vyr::test::objectGet(definitionToUpdate), ::vyr::test::objectGet(classificationCallback)};
    record.strings = {::vyr::test::codeUnitsGet(classificationMappingName),
                      ::vyr::test::codeUnitsGet(classificationFilterMappingName),
                      ::vyr::test::codeUnitsGet(definitionToUpdate)};
    record.integers = {iLevel, outputLevel};
    record.natives = {classificationCallback ? classificationCallback->nativeGet() : nullptr};
    ::vyr::test::vRecord(std::move(record));
}

void CommonClassificationModule::vClassifyNodes(Handle<System::String> classificationMappingName,
                                                Handle<vyr::bridge::definition::Node> sourceNodes) {
    ::vyr::test::Record record;
    record.sOperation = "vClassifyNodes";
    record.object = this;
    record.arguments = {::vyr::test::objectGet(classificationMappingName), ::vyr::test::objectGet(sourceNodes)};
    record.strings = {::vyr::test::codeUnitsGet(classificationMappingName)};
    record.natives = {&sourceNodes->nativeGet()};
    ::vyr::test::vRecord(std::move(record));
}

} // namespace managed::CommonClassification::Modules
