#pragma once
// The application's wiring of the call controller: the real start checks, the backend's credential
// fetch, the realtime conversation and the transcript upload.

#include "app/session_manager.hpp"

#include <memory>

namespace platform {
class AudioEngine;
class Runtime;
}

namespace kestro {

class MenuBarStateManager;
class NetworkService;

// `runtime`, `network` and `menuState` must outlive the controller. The network monitor is made on
// the first start check and kept from then on. Calls use `audioEngine` as microphone and speaker
// when given, else the sound server.
SessionManager::Services makeSessionServices(platform::Runtime& runtime, const NetworkService& network,
                                             const MenuBarStateManager& menuState,
                                             std::shared_ptr<TranscriptManager> transcripts,
                                             std::shared_ptr<platform::AudioEngine> audioEngine = nullptr);

}  // namespace kestro
