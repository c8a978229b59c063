#include "support/backend_environment.hpp"

#include <unistd.h>

#include <atomic>
#include <sstream>

#include "app/backend_config.hpp"

namespace support {

TemporaryFolder::TemporaryFolder() {
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("kestro-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void BackendEnvironment::storeCredential(const std::string& credential) {
    std::istringstream in(credential);
    kestro::storeCredentialFromStream(in, defaults);
}

}  // namespace support
