#pragma once
// What the sound server says about the default output and input devices, read afresh on every
// call (blocking, a short round trip to the server). The pre-flight checks decide from these
// whether the user listens through headphones and has a microphone.

#include <map>
#include <optional>
#include <string>

namespace platform {

// The kind of jack or connection a device port stands for, as the sound server reports it.
enum class AudioPortType {
    unknown, aux, speaker, headphones, line, mic, headset, handset, earpiece, spdif, hdmi, tv, radio,
    video, usb, bluetooth, portable, handsfree, car, hifi, phone, network, analog,
};

struct OutputDeviceFacts {
    std::string name;         // sink name
    std::string description;  // human-readable name
    std::string bus;          // "device.bus": "bluetooth", "usb", "pci", ...; empty when absent
    std::string formFactor;   // "device.form_factor": "headphone", "headset", "speaker", ...; empty when absent
    std::string activePortName;
    std::string activePortDescription;
    AudioPortType activePortType = AudioPortType::unknown;
    bool isNetwork = false;  // the sink plays on another machine
    std::map<std::string, std::string> properties;
};

struct InputDeviceFacts {
    std::string name;
    std::string description;
    bool isMonitor = false;  // records what a sink plays, not a microphone
    std::map<std::string, std::string> properties;
};

// None when there is no default device or the server cannot be reached.
std::optional<OutputDeviceFacts> defaultOutputDeviceFacts();
std::optional<InputDeviceFacts> defaultInputDeviceFacts();

// Whether the default input is a real capture device (present and not a monitor of a sink).
bool hasMicrophone();

}  // namespace platform
