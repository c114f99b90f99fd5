#!/usr/bin/env bash
# Installs everything the build, the tests and the tools need on Debian 12. Run as root.
# The desktop (tray, QuickLook, Settings) needs GTK 3 and ayatana-appindicator3; its tests run under
# Xvfb with a private session bus and drive the windows through AT-SPI.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer once, non-interactively.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -q
apt-get install -y -q --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libpcap-dev libsystemd-dev nlohmann-json3-dev libmicrohttpd-dev \
  tshark wireshark-common tcpdump python3 python3-impacket python3-scapy prometheus tmux \
  iproute2 iputils-ping net-tools systemd procps \
  libgtk-3-dev libayatana-appindicator3-dev librsvg2-common xdg-utils \
  xvfb xauth dbus dbus-x11 at-spi2-core python3-pyatspi python3-gi gir1.2-gtk-3.0 imagemagick fonts-dejavu-core
