// The pre-flight audio checks against the private sound server of the test run: outputs are null
// sinks whose properties say what they stand for.

#include "app/headphone_detector.hpp"
#include "app/session_manager.hpp"
#include "platform/audio/audio_device_facts.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Runs pactl against the server in PULSE_SERVER and returns its standard output.
std::string pactl(const std::string& arguments) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r"), ::pclose);
    if (!pipe) return output;
    std::array<char, 256> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe.get())) output += buffer.data();
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    return output;
}

class PreflightPulse : public ::testing::Test {
protected:
    void SetUp() override {
        const char* enabled = std::getenv("KESTRO_TEST_PULSE");
        if (!enabled || std::string(enabled) != "1" || !std::getenv("PULSE_SERVER")) {
            GTEST_SKIP() << "no private PulseAudio server (KESTRO_TEST_PULSE/PULSE_SERVER unset)";
        }
        defaultSink_ = pactl("get-default-sink");
        defaultSource_ = pactl("get-default-source");
        ASSERT_FALSE(defaultSink_.empty());
    }
    void TearDown() override {
        for (const auto& module : modules_) pactl("unload-module " + module);
        if (!defaultSink_.empty()) pactl("set-default-sink " + defaultSink_);
        if (!defaultSource_.empty()) pactl("set-default-source " + defaultSource_);
    }

    void loadSink(const std::string& name, const std::string& properties) {
        auto module = pactl("load-module module-null-sink sink_name=" + name + " 'sink_properties=\"" + properties + "\"'");
        ASSERT_FALSE(module.empty()) << "cannot load a null sink";
        modules_.push_back(module);
    }

    std::string defaultSink_;
    std::string defaultSource_;
    std::vector<std::string> modules_;
};

TEST_F(PreflightPulse, StartChecksReadTheDefaultDevices) {
    boost::asio::io_context io;
    kestro::SessionManager::Services services;
    services.callsAvailable = services.isNetworkReachable = [] { return true; };
    services.hasHeadphones = [] { return kestro::HeadphoneDetector::isHeadphoneConnected(); };
    services.hasMicrophone = [] { return platform::hasMicrophone(); };
    auto manager = kestro::SessionManager::create(io.get_executor(), io.get_executor(), std::move(services));
    using Refusal = kestro::SessionManager::StartRefusal;

    // The plain null sink of the test run, and one that is called headphones: the name alone is
    // not enough. Bluetooth and USB outputs count; the sine source stands for the microphone.
    const std::tuple<std::string, std::string, Refusal> outputs[] = {
        {"", "", Refusal::noHeadphones},
        {"kestro_test_plain", "device.description=Headphones", Refusal::noHeadphones},
        {"kestro_test_bt", "device.bus=bluetooth device.description=TestHeadset", Refusal::none},
        {"kestro_test_usb", "device.bus=usb device.description=UsbHeadset", Refusal::none},
    };
    for (const auto& [sink, properties, refusal] : outputs) {
        if (!sink.empty()) loadSink(sink, properties);
        ASSERT_EQ(pactl("set-default-sink " + (sink.empty() ? defaultSink_ : sink)), "");
        EXPECT_EQ(manager->canStartSession(), refusal) << (sink.empty() ? defaultSink_ : sink);
    }

    // Only the monitor of an output to record from: no microphone.
    pactl("set-default-source kestro_test_usb.monitor");
    EXPECT_EQ(manager->canStartSession(), Refusal::noMicrophone);
    manager->startSession();
    io.run();
    EXPECT_EQ(manager->errorMessage.get(), "No Microphone");
}

// A sound card on the system-on-chip names no PCI bus: its headphone output still counts, its
// HDMI output still does not.
TEST_F(PreflightPulse, ACardOnTheSystemOnChipCountsByItsFormFactor) {
    const std::tuple<std::string, std::string, bool> outputs[] = {
        {"kestro_test_soc_jack", "device.api=alsa device.bus_path=platform-sound device.form_factor=headphone "
                                 "device.description=BuiltInAudio", true},
        {"kestro_test_soc_hdmi", "device.api=alsa device.bus_path=platform-hdmi-sound device.form_factor=headphone "
                                 "device.description=HDMIAudio", false},
        {"kestro_test_soc_speaker", "device.api=alsa device.bus=platform device.form_factor=speaker "
                                    "device.description=Speaker", false},
    };
    for (const auto& [sink, properties, counts] : outputs) {
        loadSink(sink, properties);
        ASSERT_EQ(pactl("set-default-sink " + sink), "");
        EXPECT_EQ(kestro::HeadphoneDetector::isHeadphoneConnected(), counts) << sink;
    }
}

}  // namespace
