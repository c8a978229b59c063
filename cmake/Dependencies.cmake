# Every outside library Kestro links, found once for all targets.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(Boost 1.81 EXACT REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)

pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-xkb)
pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
# The compositor's keymap, for the layout characters of a session without an X server.
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
# sd-bus: D-Bus below the Qt layers (the desktop portal's global shortcuts).
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# The WebRTC transport: webrtcbin with its SDP helpers, and libnice to choose ICE's local addresses.
pkg_check_modules(GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-sdp-1.0 gstreamer-webrtc-1.0 nice)

if(KESTRO_BUILD_APP)
  find_package(Qt6 REQUIRED COMPONENTS Widgets DBus)
endif()
if(KESTRO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  pkg_check_modules(XCB_XTEST IMPORTED_TARGET xcb-xtest)
endif()
if(KESTRO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# Asio: standalone-style use of Boost.Asio with coroutines, no deprecated names.
add_library(kestro_asio INTERFACE)
target_link_libraries(kestro_asio INTERFACE Boost::headers Threads::Threads)
target_compile_definitions(kestro_asio INTERFACE
  BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_HAS_STD_COROUTINE BOOST_BEAST_USE_STD_STRING_VIEW)
