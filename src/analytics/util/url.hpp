#pragma once
// An absolute URL as its original text plus its parts (scheme ":" ["//" authority] path ["?" query]
// ["#" fragment]). The text is kept exactly as given, since some comparisons are character by
// character.

#include <optional>
#include <string>
#include <string_view>

namespace plover {

class Url {
public:
    // An absolute URL of only the characters URLs may hold (valid percent escapes included);
    // anything else, a relative reference among them, gives nothing.
    static std::optional<Url> parse(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }
    const std::optional<std::string>& authority() const { return authority_; }
    // The host name inside the authority (no user, no port).
    std::string hostName() const;
    const std::string& path() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }

    bool operator==(const Url& other) const { return text_ == other.text_; }

private:
    std::string text_;
    std::string scheme_;
    std::optional<std::string> authority_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

// "%41" -> "A"; invalid escapes stay as they are.
std::string percentDecode(std::string_view text);
// Escapes every byte a URL path may not hold (and "%" itself); `keepSlash` false escapes "/" too.
std::string percentEncodePath(std::string_view text, bool keepSlash = true);

}  // namespace plover
