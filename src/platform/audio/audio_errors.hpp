#pragma once
// Failures of the audio layer, one type each so that callers can tell them apart.

#include <stdexcept>
#include <string>

namespace platform {

class AudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The engine could not start: no sound server, or a stream it needs could not be opened.
class AudioEngineStartError : public AudioError {
public:
    explicit AudioEngineStartError(const std::string& reason)
        : AudioError("The audio engine could not start: " + reason) {}
};

// There is no input device to capture from.
class NoInputDeviceError : public AudioError {
public:
    NoInputDeviceError() : AudioError("No audio input device is available") {}
};

// A converter between the two formats could not be made.
class ConverterCreationError : public AudioError {
public:
    ConverterCreationError() : AudioError("The audio converter could not be created") {}
};

// The running engine lost its sound server and did not get it back.
class SoundServerLostError : public AudioError {
public:
    explicit SoundServerLostError(const std::string& reason) : AudioError("The audio engine stopped: " + reason) {}
};

}  // namespace platform
