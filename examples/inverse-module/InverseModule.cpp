// A classification module in one source file: the class is declared here,
// and vyr_classification_module() adds its factory without a header.

#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
#include "external/str/Utf.h"

namespace inverse {

namespace proxies = managed::vyr::bridge;

// A classification module that writes the inverse of a classification: for
// each pair (s, c) of MAPPING's merged view, the pair (c, s) into UPDATE at
// the output level, which it creates there when no level of it reads yet.
// The filter and the input level are not used. vClassifyNodes prints each
// node with the classified ids of its name in MAPPING.
//
// Holds the services that vInit bound, for the run that follows; one thread
// at a time, as every module object.
class InverseModule final : public managed::CommonClassification::Modules::CommonClassificationModule {
public:
    void vInit(managed::Handle<proxies::IDirectories> directories,
               managed::Handle<proxies::classification::Admin> classificationAdmin,
               managed::Handle<proxies::definition::Admin> definitionAdmin) override;
    void vClassify(
        managed::Handle<managed::System::String> classificationMappingName,
        managed::Handle<managed::System::String> classificationFilterMappingName, std::int32_t iLevel,
        std::int32_t outputLevel, managed::Handle<managed::System::String> definitionToUpdate,
        managed::Handle<proxies::classification::CommonClassificationCallback> classificationCallback) override;
    void vClassifyNodes(managed::Handle<managed::System::String> classificationMappingName,
                        managed::Handle<proxies::definition::Node> sourceNodes) override;

private:
    managed::Handle<proxies::IDirectories> directories_;
    managed::Handle<proxies::classification::Admin> classificationAdmin_;
    managed::Handle<proxies::definition::Admin> definitionAdmin_;
};

namespace {

using Store = vyr::bridge::classification::AdminWrapper;

// Strings reach a module as UTF-16; the store speaks UTF-8.
std::string utf8Get(const managed::Handle<managed::System::String>& text) {
    return text ? vyr::str::utf8FromUtf16(text->view()) : std::string();
}

bool boHasLevels(Store& store, const std::string& id) {
    return store.boClassificationExists(id) && !store.cachesGet(id)->levels.empty();
}

void vNodePrint(Store& store, const std::string& mapping, const vyr::definition::Node& node, int depth) {
    std::cout << std::string(static_cast<std::size_t>(2 * depth), ' ') << node.nameGet() << ':';
    if (const std::set<std::string>* classified = store.pClassifiedIdsGet(mapping, node.nameGet())) {
        for (const std::string& id : *classified) {
            std::cout << ' ' << id;
        }
    }
    std::cout << '\n';
    for (const vyr::definition::Node& child : node.childrenGet()) {
        vNodePrint(store, mapping, child, depth + 1);
    }
}

} // namespace

void InverseModule::vInit(managed::Handle<proxies::IDirectories> directories,
                          managed::Handle<proxies::classification::Admin> classificationAdmin,
                          managed::Handle<proxies::definition::Admin> definitionAdmin) {
    directories_ = std::move(directories);
    classificationAdmin_ = std::move(classificationAdmin);
    definitionAdmin_ = std::move(definitionAdmin);
}

void InverseModule::vClassify(
    managed::Handle<managed::System::String> classificationMappingName,
    managed::Handle<managed::System::String> /*classificationFilterMappingName*/, std::int32_t /*iLevel*/,
    std::int32_t outputLevel, managed::Handle<managed::System::String> definitionToUpdate,
    managed::Handle<proxies::classification::CommonClassificationCallback> classificationCallback) {
    Store& store = classificationAdmin_->nativeGet();
    vyr::classification::ClassificationUiCallbackInterface* const callback =
        classificationCallback ? classificationCallback->nativeGet() : nullptr;
    const std::string mapping = utf8Get(classificationMappingName);
    const std::string update = utf8Get(definitionToUpdate);
    const auto level = static_cast<vyr::cache::Level>(outputLevel);
    if (!boHasLevels(store, mapping)) {
        throw std::runtime_error("no classification '" + mapping + "' reads at any level");
    }

    // The merged pairs, copied under the store's lock: the run's own edits
    // cannot move them.
    std::map<std::string, std::set<std::string>> inverse;
    for (const auto& [source, classifiedId] : store.mappingsGet(mapping)) {
        inverse[classifiedId].insert(source);
    }

    if (!boHasLevels(store, update) &&
        !store.boCreateClassification(update, "inverse of " + mapping, "", "", "", false, false, level)) {
        throw std::runtime_error("cannot create '" + update + "'");
    }
    {
        vyr::classification::WriteAccess access = store.writeAccessGet(update);
        if (!access.boLockFile(level)) {
            throw std::runtime_error("cannot lock the file of '" + update + "'");
        }
        int done = 0;
        for (const auto& [classifiedId, sources] : inverse) {
            bool boFirst = true;
            for (const std::string& source : sources) {
                if (!(boFirst ? access.boSetMapping(classifiedId, source, level)
                              : access.boAddMapping(classifiedId, source, level))) {
                    throw std::runtime_error("cannot edit '" + update + "'");
                }
                boFirst = false;
            }
            if (callback != nullptr) {
                callback->vProgress(++done, static_cast<int>(inverse.size()));
            }
        }
    } // written back here
    if (callback != nullptr) {
        callback->vMessage("wrote the inverse of " + mapping + " into " + update + " (user folder " +
                           vyr::str::utf8FromPath(directories_->nativeGet().userDirectoryGet()) + ")");
    }
}

void InverseModule::vClassifyNodes(managed::Handle<managed::System::String> classificationMappingName,
                                   managed::Handle<proxies::definition::Node> sourceNodes) {
    std::cout << "nodes of " << definitionAdmin_->nativeGet().nameGet() << '\n';
    vNodePrint(classificationAdmin_->nativeGet(), utf8Get(classificationMappingName), sourceNodes->nativeGet(), 1);
}

} // namespace inverse
