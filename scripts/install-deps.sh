#!/usr/bin/env bash
# Installs every Debian package Kestro builds, tests or runs with. Idempotent and quiet when
# everything is already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ccache
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
  libboost1.81-dev libssl-dev ca-certificates openssl
  libcurl4-openssl-dev zlib1g-dev
  libpulse-dev libsoxr-dev
  libgstreamer1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice libnice-dev
  qt6-base-dev libgl-dev
  libxcb1-dev libxcb-xkb-dev libxkbcommon-dev libxkbcommon-x11-dev libxcb-xtest0-dev libwayland-dev
  weston qt6-wayland sway waybar
  xvfb xauth x11-xkb-utils pulseaudio pulseaudio-utils iproute2 dbus dbus-x11 xdg-utils
  imagemagick x11-apps
  desktop-file-utils libglib2.0-bin trayer
  python3-aiortc
  libsystemd-dev xdg-desktop-portal xdg-desktop-portal-dev
  haskell-gtk-sni-tray-utils haskell-status-notifier-item-utils
  libkf5globalaccel-bin libkf5globalaccel-dev xdg-desktop-portal-kde qttranslations5-l10n locales
  xfce4-panel xfconf xfwm4
  pipewire pipewire-pulse wireplumber
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# sudo resets the environment, so the frontend setting travels on its command line.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
if [ "$(id -u)" -ne 0 ]; then apt=(sudo "${apt[@]}"); fi
echo "install-deps: installing ${missing[*]}"
"${apt[@]}" update -qq
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
