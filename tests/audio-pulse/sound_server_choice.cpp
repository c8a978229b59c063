// The tests of this folder run against the PulseAudio daemon scripts/test.sh starts, and once more
// (KESTRO_SOUND_SERVER=pipewire, set by CTest) against a PipeWire of this test process's own with
// the same devices, started as a desktop session starts it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "support/backend_environment.hpp"
#include "support/sound_server.hpp"

namespace {

class SoundServerChoice : public ::testing::Environment {
public:
    void SetUp() override {
        const char* choice = std::getenv("KESTRO_SOUND_SERVER");
        if (!choice || std::string(choice) != "pipewire") return;
        // Set before any engine of the tests exists: nothing reads the environment meanwhile.
        ::unsetenv("PULSE_SERVER");
        folder_ = std::make_unique<support::TemporaryFolder>();
        server_ = std::make_unique<support::SoundServer>(support::SoundServerKind::pipewire, folder_->path());
        if (auto why = server_->start(); !why.empty()) {
            std::cerr << "No PipeWire for these tests, they skip: " << why << "\n";
            return;
        }
        ::setenv("PULSE_SERVER", server_->address().c_str(), 1);
    }
    void TearDown() override {
        server_.reset();
        folder_.reset();
    }

private:
    std::unique_ptr<support::TemporaryFolder> folder_;
    std::unique_ptr<support::SoundServer> server_;
};

[[maybe_unused]] auto* const choice = ::testing::AddGlobalTestEnvironment(new SoundServerChoice);

}  // namespace
