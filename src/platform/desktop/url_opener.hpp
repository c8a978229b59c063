#pragma once
// Hands links (mailto:, https:) to the desktop's preferred application.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An absolute URL: a scheme followed by characters a URL may hold (no spaces, no control
// characters, well-formed %-escapes).
class Url {
public:
    // The URL written as `text`, or nothing when `text` is not a valid absolute URL.
    static std::optional<Url> parse(std::string_view text);

    const std::string& text() const { return text_; }
    std::string scheme() const;

private:
    explicit Url(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Asks the desktop to open the URL; the outcome is not reported.
    virtual void open(const Url& url) = 0;

    // Makes a URL of `text` and opens it; an invalid text does nothing.
    void openURLString(std::string_view text);
};

// Opens through `xdg-open` (found on PATH), detached from this process.
class XdgUrlOpener final : public UrlOpener {
public:
    void open(const Url& url) override;
};

}  // namespace platform
