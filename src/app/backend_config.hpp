#pragma once
// Where the backend is and the credential that opens it.

#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {
class UserDefaults;
}

namespace kestro {

// The backend used when neither the environment nor the user defaults name another.
inline constexpr std::string_view defaultBackendBaseURL = "https://backend.kestro.app/";
// User-defaults keys.
inline constexpr std::string_view backendURLKey = "Kestro_BackendURL";
inline constexpr std::string_view credentialKey = "Kestro_BackendCredential";
// Environment override of the base URL (tests, self-hosting).
inline constexpr std::string_view backendURLVariable = "KESTRO_BACKEND_URL";

// KESTRO_BACKEND_URL when set and not empty, else the stored URL, else the compiled-in default;
// always ending in "/" so that endpoints can be appended.
std::string backendBaseURL(const platform::UserDefaults& defaults);

// The stored bearer credential, unchanged. A credential that is not a string or that holds a
// control character (a line break, say) counts as missing: it could not travel in a header.
std::optional<std::string> storedCredential(const platform::UserDefaults& defaults);

// Without leading and trailing white space and line breaks.
std::string trimWhitespace(std::string_view text);
// Whether `text` holds a byte below 0x20 or DEL.
bool containsControlCharacter(std::string_view text);
// Whether `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

class CredentialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `kestro --set-credential`: reads the whole stream, trims it and stores it as the credential.
// Throws CredentialError (nothing stored) when it is empty or holds control characters.
void storeCredentialFromStream(std::istream& in, platform::UserDefaults& defaults);

}  // namespace kestro
