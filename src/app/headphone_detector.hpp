#pragma once
// Pre-flight check of a call: is the default output something worn on the head, so that the
// assistant is not heard through loudspeakers (and back through the microphone).

#include "platform/audio/audio_device_facts.hpp"

namespace kestro {

class HeadphoneDetector {
public:
    // Bluetooth and USB outputs count whatever they are; a built-in output (a sound card on PCI
    // or on the system-on-chip, whatever bus it names) counts when its active port or form factor
    // says headphones or headset, or one of its names mentions headphones; HDMI/DisplayPort,
    // network, virtual and card-less outputs never count.
    static bool isHeadphoneOutput(const platform::OutputDeviceFacts& output);

    // The check on the current default output, read afresh from the sound server each time;
    // false when there is no default output or no sound server.
    static bool isHeadphoneConnected();
};

}  // namespace kestro
