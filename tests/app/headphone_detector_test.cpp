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

}  // namespace
