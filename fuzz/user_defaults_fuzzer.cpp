// Opens a user-defaults store on a file holding arbitrary bytes and reads every key back. Whatever
// the file holds, the store opens (a file it cannot use is moved aside) and its reads answer.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/defaults/user_defaults.hpp"

namespace {

namespace fs = std::filesystem;

// One folder for the whole run, removed when the fuzzer exits normally. The path is never
// destroyed, so the exit handler can still read it.
const fs::path& folder() {
    static const fs::path* path = [] {
        std::string pattern = (fs::temp_directory_path() / "kestro-fuzz-defaults-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(folder(), ignored);
        });
        return new fs::path(pattern);
    }();
    return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path file = folder() / "defaults.json";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    {
        platform::UserDefaults defaults(file);
        for (const auto& key : defaults.keys()) {
            (void)defaults.value(key);
            (void)defaults.string(key);
            (void)defaults.integer(key);
            (void)defaults.number(key);
            (void)defaults.boolean(key);
        }
    }
    // The next input starts from an empty folder (no file moved aside, no lock file).
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder(), ignored)) fs::remove_all(entry.path(), ignored);
    return 0;
}
