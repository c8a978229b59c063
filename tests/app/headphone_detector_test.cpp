#include "app/headphone_detector.hpp"

#include <gtest/gtest.h>

namespace {

using kestro::HeadphoneDetector;
using platform::OutputDeviceFacts;
using PortType = platform::AudioPortType;

OutputDeviceFacts builtIn(std::string description, PortType port = PortType::speaker, std::string portName = "analog-output-speaker") {
    OutputDeviceFacts facts;
    facts.name = "alsa_output.pci-0000_00_1f.3.analog-stereo";
    facts.description = std::move(description);
    facts.bus = "pci";
    facts.activePortName = std::move(portName);
    facts.activePortType = port;
    return facts;
}

TEST(HeadphoneDetector, AnyBluetoothOrUsbOutputCounts) {
    OutputDeviceFacts speaker;
    speaker.name = "bluez_sink.00_11_22_33_44_55.a2dp_sink";
    speaker.description = "Party Speaker";
    speaker.bus = "bluetooth";
    speaker.formFactor = "speaker";
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(speaker));

    OutputDeviceFacts dac;
    dac.description = "USB Audio DAC";
    dac.bus = "usb";
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(dac));
}

TEST(HeadphoneDetector, BuiltInOutputCountsOnlyForHeadphonePortsFormsOrNames) {
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(builtIn("Built-in Audio Analog Stereo")));
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(
        builtIn("Built-in Audio Analog Stereo", PortType::headphones, "analog-output-headphones")));
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(builtIn("Built-in Audio", PortType::headset, "analog-output-headset")));

    auto byName = builtIn("Front HEADPHONES jack", PortType::unknown, "analog-output");
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(byName));
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(builtIn("My AirPods", PortType::unknown, "x")));
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(builtIn("Beats Studio", PortType::unknown, "x")));

    auto byPortDescription = builtIn("Built-in Audio", PortType::unknown, "analog-output-2");
    byPortDescription.activePortDescription = "Headphones";
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(byPortDescription));

    auto byForm = builtIn("Built-in Audio", PortType::unknown, "analog-output");
    byForm.formFactor = "headset";
    EXPECT_TRUE(HeadphoneDetector::isHeadphoneOutput(byForm));
}

TEST(HeadphoneDetector, DigitalVideoNetworkAndVirtualOutputsNeverCount) {
    auto hdmi = builtIn("Headphone Monitor", PortType::hdmi, "hdmi-output-0");
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(hdmi));
    auto displayPort = builtIn("Headphones over DisplayPort", PortType::unknown, "displayport-out");
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(displayPort));

    auto network = builtIn("Headphones in the living room", PortType::headphones, "analog-output-headphones");
    network.isNetwork = true;
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(network));

    OutputDeviceFacts null;
    null.name = "kestro_null";
    null.description = "Headphones (null output)";
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(null));  // no bus

    OutputDeviceFacts combined = null;
    combined.bus = "virtual";
    combined.activePortType = PortType::headphones;
    EXPECT_FALSE(HeadphoneDetector::isHeadphoneOutput(combined));
}

}  // namespace
