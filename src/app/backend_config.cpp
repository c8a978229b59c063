#include "app/backend_config.hpp"

#include <cstdlib>
#include <iterator>

#include "platform/defaults/user_defaults.hpp"
#include "platform/json/json.hpp"

namespace kestro {

namespace {

std::string withTrailingSlash(std::string url) {
    if (url.empty() || url.back() != '/') url.push_back('/');
    return url;
}

// Length of the white-space or line-break character starting at `at` (0 if there is none):
// ASCII white space, and the Unicode spaces and separators as UTF-8.
std::size_t spaceLength(std::string_view text, std::size_t at) {
    unsigned char first = static_cast<unsigned char>(text[at]);
    if (first == ' ' || (first >= '\t' && first <= '\r')) return 1;
    auto rest = text.substr(at);
    for (std::string_view space : {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
                                   "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
                                   "\u202F", "\u205F", "\u3000"}) {
        if (rest.substr(0, space.size()) == space) return space.size();
    }
    return 0;
}

// Start of the UTF-8 character that ends just before `end`.
std::size_t characterStart(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return start;
}

}  // namespace

std::string backendBaseURL(const platform::UserDefaults& defaults) {
    if (const char* fromEnvironment = std::getenv(std::string(backendURLVariable).c_str());
        fromEnvironment && *fromEnvironment) {
        return withTrailingSlash(fromEnvironment);
    }
    if (auto stored = defaults.string(std::string(backendURLKey)); stored && !stored->empty()) {
        return withTrailingSlash(*stored);
    }
    return std::string(defaultBackendBaseURL);
}

std::optional<std::string> storedCredential(const platform::UserDefaults& defaults) {
    auto credential = defaults.string(std::string(credentialKey));
    if (!credential || containsControlCharacter(*credential)) return std::nullopt;
    return credential;
}

std::string trimWhitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto length = spaceLength(text, begin);
        if (length == 0) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        auto start = characterStart(text, end);
        if (start < begin || spaceLength(text, start) != end - start) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

bool containsControlCharacter(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

bool isValidUTF8(std::string_view text) { return platform::json::isValidUtf8(text); }

void storeCredentialFromStream(std::istream& in, platform::UserDefaults& defaults) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string credential = trimWhitespace(text);
    if (credential.empty()) throw CredentialError("No credential was given on standard input.");
    if (containsControlCharacter(credential) || !isValidUTF8(credential)) {
        throw CredentialError("The credential must be one line of text without control characters.");
    }
    defaults.set(std::string(credentialKey), credential);
}

}  // namespace kestro
