#include <gtest/gtest.h>

#include "platform/audio/audio_device_facts.hpp"
#include "pulse_fixture.hpp"

namespace {

using kestro::test::pactl;

// Loads a null sink with extra properties and makes it the default until destroyed.
class TemporaryDefaultSink {
public:
    TemporaryDefaultSink(const std::string& name, const std::string& properties) {
        module_ = pactl("load-module module-null-sink sink_name=" + name + " \"sink_properties='" +
                        properties + "'\"");
        pactl("set-default-sink " + name);
    }
    ~TemporaryDefaultSink() {
        pactl("set-default-sink kestro_null");
        pactl("unload-module " + module_);
    }

private:
    std::string module_;
};

TEST(AudioDeviceFacts, TheDefaultSinkAndSourceOfTheServerAreRead) {
    KESTRO_REQUIRE_PULSE();
    auto output = platform::defaultOutputDeviceFacts();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->name, "kestro_null");
    EXPECT_EQ(output->description, "KestroNull");
    EXPECT_EQ(output->bus, "");
    EXPECT_EQ(output->formFactor, "");
    EXPECT_EQ(output->activePortName, "");
    EXPECT_EQ(output->activePortType, platform::AudioPortType::unknown);
    EXPECT_FALSE(output->isNetwork);
    EXPECT_EQ(output->properties.at("device.description"), "KestroNull");

    auto input = platform::defaultInputDeviceFacts();
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(input->name, "kestro_sine");
    EXPECT_FALSE(input->isMonitor);
    EXPECT_TRUE(platform::hasMicrophone());

    {
        TemporaryDefaultSink sink(
            "kestro_bt", "device.bus=bluetooth device.form_factor=headphone device.description=Buds");
        auto output = platform::defaultOutputDeviceFacts();
        ASSERT_TRUE(output.has_value());
        EXPECT_EQ(output->name, "kestro_bt");
        EXPECT_EQ(output->bus, "bluetooth");
        EXPECT_EQ(output->formFactor, "headphone");
        EXPECT_EQ(output->description, "Buds");
    }
    EXPECT_EQ(platform::defaultOutputDeviceFacts()->name, "kestro_null");

    // A monitor as the default source is no microphone.
    pactl("set-default-source kestro_null.monitor");
    auto monitor = platform::defaultInputDeviceFacts();
    bool microphone = platform::hasMicrophone();
    pactl("set-default-source kestro_sine");
    ASSERT_TRUE(monitor.has_value());
    EXPECT_EQ(monitor->name, "kestro_null.monitor");
    EXPECT_TRUE(monitor->isMonitor);
    EXPECT_FALSE(microphone);
}

}  // namespace
