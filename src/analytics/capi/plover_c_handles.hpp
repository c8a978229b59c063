#pragma once
// What the C interface's opaque handles hold. Only the interface itself and C++ code that hands
// objects across it (tests, a host written in both languages) include this.

#include <memory>
#include <optional>

#include "analytics/capi/plover.h"
#include "analytics/config/plover_config.hpp"
#include "analytics/sdk/plover_sdk.hpp"

struct plover_config {
    std::shared_ptr<plover::PloverConfig> config;
    // What the application said about itself, handed to the instances set up with it.
    std::optional<plover::ApplicationInfo> application;
};

struct plover_sdk {
    std::shared_ptr<plover::PloverSDK> sdk;
};

struct plover_before_send {
    plover::PloverConfig::BeforeSend function;
};
