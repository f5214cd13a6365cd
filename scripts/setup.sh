#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent and non-interactive: packages already present are not fetched again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    python3-pyftpdlib python3-openssl openssl p7zip-full curl
    xvfb xdotool x11-apps x11-xserver-utils imagemagick fonts-wqy-microhei
    procps psmisc iproute2
    libx11-dev time
    libsodium-dev minisign dbus
    # The libraries of the real FTP servers that tests/support/realftpd.py
    # unpacks for the FTPS tests; the servers themselves are not installed.
    libwrap0 libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
