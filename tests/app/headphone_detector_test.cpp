#include "app/headphone_detector.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using platform::OutputDeviceFacts;
using PortType = platform::AudioPortType;

// An output of the given bus, description and active port.
OutputDeviceFacts output(std::string bus, std::string description, PortType port = PortType::unknown,
                         std::string portName = "analog-output") {
    OutputDeviceFacts facts;
    facts.name = "test_output";
    facts.bus = std::move(bus);
    facts.description = std::move(description);
    facts.activePortType = port;
    facts.activePortName = std::move(portName);
    return facts;
}

TEST(HeadphoneDetector, CountsPersonalListeningDevicesOnly) {
    auto formFactor = [](OutputDeviceFacts facts, std::string form) {
        facts.formFactor = std::move(form);
        return facts;
    };
    auto portDescription = output("pci", "Built-in Audio", PortType::unknown, "analog-output-2");
    portDescription.activePortDescription = "Headphones";
    auto network = output("pci", "Headphones in the living room", PortType::headphones, "analog-output-headphones");
    network.isNetwork = true;

    const std::vector<std::tuple<std::string, OutputDeviceFacts, bool>> cases{
        // Any bluetooth or USB output.
        {"bluetooth speaker", formFactor(output("bluetooth", "Party Speaker"), "speaker"), true},
        {"usb dac", output("usb", "USB Audio DAC"), true},
        // Built-in outputs by port, port description, form factor or name.
        {"speaker", output("pci", "Built-in Audio Analog Stereo", PortType::speaker, "analog-output-speaker"), false},
        {"headphone port", output("pci", "Built-in Audio", PortType::headphones, "analog-output-headphones"), true},
        {"headset port", output("pci", "Built-in Audio", PortType::headset, "analog-output-headset"), true},
        {"name", output("pci", "Front HEADPHONES jack"), true},
        {"airpods", output("pci", "My AirPods"), true},
        {"beats", output("pci", "Beats Studio"), true},
        {"port description", portDescription, true},
        {"form factor", formFactor(output("pci", "Built-in Audio"), "headset"), true},
        // Digital video, network and virtual outputs never count, whatever they are called.
        {"hdmi", output("pci", "Headphone Monitor", PortType::hdmi, "hdmi-output-0"), false},
        {"displayport", output("pci", "Headphones over DisplayPort", PortType::unknown, "displayport-out"), false},
        {"network", network, false},
        {"no bus", output("", "Headphones (null output)"), false},
        {"virtual", output("virtual", "Headphones (null output)", PortType::headphones), false},
    };
    for (const auto& [name, facts, counts] : cases) {
        EXPECT_EQ(kestro::HeadphoneDetector::isHeadphoneOutput(facts), counts) << name;
    }
}

// Sound on the system-on-chip (most ARM laptops and boards): an ALSA card that names a bus other
// than PCI, or none, is judged like a PCI one.
TEST(HeadphoneDetector, JudgesBuiltInOutputsOfTheSystemOnChipByPortAndFormFactor) {
    auto soc = [](std::string bus, std::string description, PortType port, std::string portName) {
        auto facts = output(std::move(bus), std::move(description), port, std::move(portName));
        facts.properties["device.api"] = "alsa";
        facts.properties["device.bus_path"] = "platform-sound";
        return facts;
    };
    auto headsetForm = soc("", "Built-in Audio Stereo", PortType::unknown, "analog-output");
    headsetForm.formFactor = "headset";
    auto nullSinkCalledHeadphones = output("", "Headphones (null output)", PortType::headphones);
    nullSinkCalledHeadphones.properties["device.class"] = "abstract";

    const std::vector<std::tuple<std::string, OutputDeviceFacts, bool>> cases{
        {"headphone port, no bus", soc("", "Built-in Audio", PortType::headphones, "analog-output-headphones"), true},
        {"headphone port, platform bus", soc("platform", "rockchip-es8316", PortType::headphones, "[Out] Headphones"),
         true},
        {"headset form factor", headsetForm, true},
        {"speaker", soc("", "Built-in Audio", PortType::speaker, "analog-output-speaker"), false},
        {"hdmi port", soc("platform", "hdmi-sound", PortType::hdmi, "hdmi-output-0"), false},
        {"hdmi by name", soc("", "HDMI Headphones Bridge", PortType::unknown, "analog-output"), false},
        {"displayport by name", soc("", "Built-in Audio", PortType::unknown, "displayport-out"), false},
        {"a sink of the sound server's own", nullSinkCalledHeadphones, false},
    };
    for (const auto& [name, facts, counts] : cases) {
        EXPECT_EQ(kestro::HeadphoneDetector::isHeadphoneOutput(facts), counts) << name;
    }
}

}  // namespace
