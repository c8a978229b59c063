#pragma once
// What the C interface's opaque handles hold. Only the interface itself and C++ code that hands
// objects across it (tests, a host written in both languages) include this.

#include <memory>

#include "analytics/capi/plover.h"
#include "analytics/config/plover_config.hpp"
#include "analytics/sdk/plover_sdk.hpp"

struct plover_config {
    std::shared_ptr<plover::PloverConfig> config;
};

struct plover_sdk {
    std::shared_ptr<plover::PloverSDK> sdk;
};

struct plover_before_send {
    plover::PloverConfig::BeforeSend function;
};
