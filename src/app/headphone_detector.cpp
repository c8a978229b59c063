#include "app/headphone_detector.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace kestro {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool mentions(const std::string& text, std::string_view word) {
    return lowered(text).find(word) != std::string::npos;
}

}  // namespace

bool HeadphoneDetector::isHeadphoneOutput(const platform::OutputDeviceFacts& output) {
    using PortType = platform::AudioPortType;
    const std::string bus = lowered(output.bus);
    if (bus == "bluetooth" || bus == "usb") return true;
    if (output.isNetwork || bus == "virtual") return false;
    // A sound card of this machine, on PCI or on the system-on-chip (whose outputs name another
    // bus or none): judged by its port and form factor below. A sink of the sound server's own
    // making (a null or combined sink) is no card.
    auto api = output.properties.find("device.api");
    const bool card = bus == "pci" || (api != output.properties.end() && lowered(api->second) == "alsa");
    if (!card) return false;

    const std::array names{&output.name, &output.description, &output.activePortName, &output.activePortDescription};
    const bool digitalVideo = output.activePortType == PortType::hdmi ||
                              std::any_of(names.begin(), names.end(), [](const std::string* name) {
                                  return mentions(*name, "hdmi") || mentions(*name, "displayport");
                              });
    if (digitalVideo) return false;

    if (output.activePortType == PortType::headphones || output.activePortType == PortType::headset) return true;
    const std::string formFactor = lowered(output.formFactor);
    if (formFactor == "headphone" || formFactor == "headset") return true;
    return std::any_of(names.begin(), names.end(), [](const std::string* name) {
        return mentions(*name, "headphone") || mentions(*name, "airpods") || mentions(*name, "beats");
    });
}

bool HeadphoneDetector::isHeadphoneConnected() {
    auto output = platform::defaultOutputDeviceFacts();
    return output && isHeadphoneOutput(*output);
}

}  // namespace kestro
