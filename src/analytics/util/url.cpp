#include "analytics/util/url.hpp"

#include <cctype>

namespace plover {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }
bool isPathChar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }
// Every character that may appear somewhere in a URL outside a percent escape.
bool isUrlChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || std::string_view(":/?#[]@").find(c) != std::string_view::npos;
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty() || !isAlpha(text[0])) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
            i += 2;
        } else if (!isUrlChar(text[i])) {
            return std::nullopt;
        }
    }
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = text[i];
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    }
    Url url;
    url.text_ = std::string(text);
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        url.authority_ = std::string(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    url.path_ = std::string(rest);
    return url;
}

std::string Url::hostName() const {
    if (!authority_) return {};
    std::string_view host = *authority_;
    if (auto at = host.rfind('@'); at != std::string_view::npos) host.remove_prefix(at + 1);
    if (!host.empty() && host.front() == '[') {
        auto close = host.find(']');
        return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
    }
    return std::string(host.substr(0, host.find(':')));
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) << 4 | hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string percentEncodePath(std::string_view text, bool keepSlash) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (isPathChar(c) || (keepSlash && c == '/')) {
            out.push_back(c);
        } else {
            auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        }
    }
    return out;
}

}  // namespace plover
