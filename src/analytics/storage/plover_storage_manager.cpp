#include "analytics/storage/plover_storage_manager.hpp"

#include "analytics/config/plover_config.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"

namespace plover {

using Key = PloverStorage::StorageKey;

namespace {

struct LibraryIdentity {
    std::mutex mutex;
    std::string name{ploveriOSSdkName};
    std::string version = "3.30.0";
};

LibraryIdentity& libraryIdentity() {
    static LibraryIdentity identity;
    return identity;
}

}  // namespace

std::string ploverSdkName() {
    std::lock_guard lock(libraryIdentity().mutex);
    return libraryIdentity().name;
}

void setPloverSdkName(std::string name) {
    std::lock_guard lock(libraryIdentity().mutex);
    libraryIdentity().name = std::move(name);
}

std::string ploverVersion() {
    std::lock_guard lock(libraryIdentity().mutex);
    return libraryIdentity().version;
}

void setPloverVersion(std::string version) {
    std::lock_guard lock(libraryIdentity().mutex);
    libraryIdentity().version = std::move(version);
}

PloverStorageManager::PloverStorageManager(const PloverConfig& config, PloverStorage::Environment environment)
    : storage_(config, std::move(environment)), idGen_(config.getAnonymousId) {
    if (!idGen_) idGen_ = [](Uuid id) { return id; };
}

const std::string& PloverStorageManager::ensureAnonymousId() {
    if (anonymousId_) return *anonymousId_;
    if (auto stored = storage_.getString(Key::anonymousId)) {
        anonymousId_ = std::move(stored);
        return *anonymousId_;
    }
    anonymousId_ = idGen_(TimeBasedEpochGenerator::v7()).toString();
    storage_.setJson(Key::anonymousId, Value(*anonymousId_));
    return *anonymousId_;
}

std::string PloverStorageManager::getAnonymousId() {
    std::lock_guard lock(anonLock_);
    return ensureAnonymousId();
}

bool PloverStorageManager::setAnonymousId(const std::string& id) {
    std::lock_guard lock(anonLock_);
    anonymousId_ = id;
    return storage_.setJson(Key::anonymousId, Value(id));
}

std::string PloverStorageManager::getDistinctId() {
    std::lock_guard lock(distinctLock_);
    if (distinctId_) return *distinctId_;
    if (!cachedDistinctId_) {
        cachedDistinctId_ = true;
        if (auto stored = storage_.getString(Key::distinctId)) {
            distinctId_ = std::move(stored);
            return *distinctId_;
        }
    }
    std::lock_guard anonymous(anonLock_);
    return ensureAnonymousId();
}

bool PloverStorageManager::setDistinctId(const std::string& id) {
    std::lock_guard lock(distinctLock_);
    distinctId_ = id;
    return storage_.setJson(Key::distinctId, Value(id));
}

bool PloverStorageManager::isIdentified() {
    std::lock_guard lock(identifiedLock_);
    if (isIdentifiedValue_) return *isIdentifiedValue_;
    if (auto stored = storage_.getBool(Key::isIdentified)) {
        isIdentifiedValue_ = stored;
        return *stored;
    }
    std::string distinct = getDistinctId();
    std::string anonymous;
    {
        std::lock_guard anonymousLock(anonLock_);
        anonymous = ensureAnonymousId();
    }
    isIdentifiedValue_ = distinct != anonymous;
    return *isIdentifiedValue_;
}

bool PloverStorageManager::setIdentified(bool identified) {
    std::lock_guard lock(identifiedLock_);
    isIdentifiedValue_ = identified;
    return storage_.setJson(Key::isIdentified, Value(identified));
}

bool PloverStorageManager::isPersonProcessing() {
    std::lock_guard lock(personProcessingLock_);
    if (!personProcessingEnabled_) {
        personProcessingEnabled_ = storage_.getBool(Key::personProcessingEnabled).value_or(false);
    }
    return *personProcessingEnabled_;
}

void PloverStorageManager::setPersonProcessing(bool enabled) {
    std::lock_guard lock(personProcessingLock_);
    if (personProcessingEnabled_ == enabled) return;
    personProcessingEnabled_ = enabled;
    storage_.setJson(Key::personProcessingEnabled, Value(enabled));
}

void PloverStorageManager::reset(bool keepAnonymousId, bool deleteStored) {
    {
        std::lock_guard lock(distinctLock_);
        distinctId_.reset();
        cachedDistinctId_ = false;
        if (deleteStored) storage_.remove(Key::distinctId);
    }
    if (!keepAnonymousId) {
        std::lock_guard lock(anonLock_);
        anonymousId_.reset();
        if (deleteStored) storage_.remove(Key::anonymousId);
    }
    {
        std::lock_guard lock(identifiedLock_);
        isIdentifiedValue_.reset();
        if (deleteStored) storage_.remove(Key::isIdentified);
    }
    {
        std::lock_guard lock(personProcessingLock_);
        personProcessingEnabled_.reset();
        if (deleteStored) storage_.remove(Key::personProcessingEnabled);
    }
}

}  // namespace plover
