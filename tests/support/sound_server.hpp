#pragma once
// A sound server of a test's own, started as a desktop session starts it: a PulseAudio daemon, or
// PipeWire (pipewire, wireplumber on a private session bus, and pipewire-pulse serving the
// PulseAudio protocol) in a private runtime folder. Its devices are made through its PulseAudio
// protocol (pactl, or the daemon's start-up script): a null sink as the default output and a
// 440 Hz sine at 48 kHz, mono, as the default input (on PipeWire, whose PulseAudio side has no
// sine source, a null sink fed with the tone by pacat, its monitor remapped as the source).
//
// The test owns the instance: it can take the server away (the PulseAudio daemon, or
// pipewire-pulse alone, as a desktop update or a crash does) and bring it back with its devices.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace support {

enum class SoundServerKind { pulseaudio, pipewire };

const char* soundServerName(SoundServerKind kind);
// Why the server cannot run here (a program missing), or "" when it can.
std::string soundServerUnavailable(SoundServerKind kind);

struct SoundDevices {
    std::string sink = "kestro_null";
    // Extra sink properties, e.g. "device.bus=bluetooth device.form_factor=headset".
    std::string sinkProperties = "device.description=KestroNull";
    std::string source = "kestro_sine";
};

class SoundServer {
public:
    SoundServer(SoundServerKind kind, std::filesystem::path folder, SoundDevices devices = {});
    // Ends every process it started.
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Starts the whole server and makes its devices; "" on success, else what went wrong.
    std::string start();
    // Takes the PulseAudio-protocol server away (SIGKILL, as a crash): the daemon, or pipewire-pulse.
    void takeAway();
    // Brings it back, with its devices; "" on success. Without the microphone, only the sink
    // comes back, as when a headset's microphone follows the server a moment later: the default
    // source is then whatever the server picks (the sink's monitor on PulseAudio) until
    // addMicrophone().
    std::string bringBack(bool withMicrophone = true);
    // Makes the microphone (the tone source) and makes it the default source; "" on success.
    std::string addMicrophone();
    // Suspends the sink, or lets it run again: a suspended sink reads nothing from its streams.
    std::string suspendSink(bool suspended);

    SoundServerKind kind() const { return kind_; }
    // The value of PULSE_SERVER for clients of this server.
    std::string address() const;
    // Runs pactl against this server; its output, or "" (and false in `ok`) on failure.
    std::string pactl(const std::string& arguments, bool* ok = nullptr) const;
    // What the server's processes printed.
    std::string log() const;

private:
    struct Process {
        pid_t pid = -1;
        std::string name;
    };
    Process spawn(const std::vector<std::string>& command, const std::string& logName);
    static void end(Process& process, int signal);
    std::string waitUntilServing();
    std::string makeDevices(bool withMicrophone);
    std::string waitForDefaults(const std::string& source);
    std::map<std::string, std::string> environment() const;

    SoundServerKind kind_;
    std::filesystem::path folder_;
    SoundDevices devices_;
    std::vector<Process> session_;  // bus, pipewire, wireplumber: they stay when the server goes
    Process server_;                // pulseaudio or pipewire-pulse
    Process feeder_;                // plays the tone into the source's null sink (PipeWire)
};

}  // namespace support
