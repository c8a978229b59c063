#include "platform/hotkeys/session_keyboard_layout.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/hotkeys/xkb_keyboard_layout.hpp"

namespace platform {
namespace {

// What the compositor has told so far.
struct Probe {
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    bool listed = false;      // the registry's globals are all announced
    bool noKeyboard = false;  // the seat said it has none
    bool keymapSent = false;
    wl_callback* sync = nullptr;
    std::optional<std::string> keymap;

    bool done() const { return keymapSent || noKeyboard || (listed && !seat); }
};

void keymapArrived(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
    auto& probe = *static_cast<Probe*>(data);
    probe.keymapSent = true;
    // A file shorter than the size said would fault when read past its end.
    struct stat file {};
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size <= maxKeymapSize && ::fstat(fd, &file) == 0 &&
        file.st_size >= static_cast<off_t>(size)) {
        void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            const auto* chars = static_cast<const char*>(text);
            probe.keymap.emplace(chars, ::strnlen(chars, size));
            ::munmap(text, size);
        }
    }
    ::close(fd);
}

void ignoreEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void ignoreLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void ignoreKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void ignoreModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void ignoreRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

const wl_keyboard_listener keyboardListener{keymapArrived, ignoreEnter, ignoreLeave,
                                            ignoreKey,     ignoreModifiers, ignoreRepeat};

void capabilities(void* data, wl_seat* seat, std::uint32_t caps) {
    auto& probe = *static_cast<Probe*>(data);
    if (!(caps & WL_SEAT_CAPABILITY_KEYBOARD)) {
        if (!probe.keyboard) probe.noKeyboard = true;
        return;
    }
    if (probe.keyboard) return;
    probe.keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(probe.keyboard, &keyboardListener, &probe);
}

void seatName(void*, wl_seat*, const char*) {}

const wl_seat_listener seatListener{capabilities, seatName};

void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto& probe = *static_cast<Probe*>(data);
    if (probe.seat || std::strcmp(interface, wl_seat_interface.name) != 0) return;
    probe.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 2u)));
    wl_seat_add_listener(probe.seat, &seatListener, &probe);
}

void globalRemoved(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener{global, globalRemoved};

void synced(void* data, wl_callback* callback, std::uint32_t) {
    auto& probe = *static_cast<Probe*>(data);
    probe.listed = true;
    probe.sync = nullptr;
    wl_callback_destroy(callback);
}

const wl_callback_listener syncListener{synced};

std::shared_ptr<KeyboardLayout> compiledOrNull(const std::function<std::shared_ptr<KeyboardLayout>()>& compile) {
    try {
        return compile();
    } catch (const KeymapError&) {
        return nullptr;
    }
}

}  // namespace

std::optional<std::string> compositorKeymap(std::chrono::milliseconds patience) {
    const char* socket = std::getenv("WAYLAND_DISPLAY");
    if (!socket || !*socket || std::getenv("WAYLAND_SOCKET")) return std::nullopt;
    wl_display* display = wl_display_connect(socket);
    if (!display) return std::nullopt;
    Probe probe;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &probe);
    probe.sync = wl_display_sync(display);
    wl_callback_add_listener(probe.sync, &syncListener, &probe);

    // The compositor is read with a bound on the wait: one that stops answering holds nobody up.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool broken = false;
    while (!probe.done() && !broken) {
        while (!broken && wl_display_prepare_read(display) != 0) broken = wl_display_dispatch_pending(display) < 0;
        if (broken || probe.done()) {
            if (!broken) wl_display_cancel_read(display);
            break;
        }
        wl_display_flush(display);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{wl_display_get_fd(display), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            wl_display_cancel_read(display);
            break;
        }
        broken = wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0;
    }
    if (probe.sync) wl_callback_destroy(probe.sync);
    if (probe.keyboard) wl_keyboard_destroy(probe.keyboard);
    if (probe.seat) wl_seat_destroy(probe.seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return probe.keymap;
}

std::shared_ptr<KeyboardLayout> readSessionKeyboardLayout() {
    if (auto text = compositorKeymap()) {
        if (auto layout = compiledOrNull([&] { return XkbKeyboardLayout::fromKeymapText(*text); })) return layout;
    }
    return compiledOrNull([] { return XkbKeyboardLayout::fromSessionSettings(); });
}

const KeyboardLayout* sessionKeyboardLayout() {
    static const std::shared_ptr<KeyboardLayout> layout = readSessionKeyboardLayout();
    return layout.get();
}

}  // namespace platform
