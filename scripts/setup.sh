#!/usr/bin/env bash
# Installs the Debian packages Orvane needs to build, run and test.
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config clang-format
  libgtest-dev libwxgtk3.2-dev libgtk-3-dev libglib2.0-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev
  libsecret-1-dev gnome-keyring dbus-daemon
  shared-mime-info fonts-dejavu-core xdg-utils
  xvfb xauth xdotool imagemagick appstream desktop-file-utils
  python3 python3-pyftpdlib vsftpd curl openssl ca-certificates
  openssh-client openssh-server
)
if [[ "${1:-}" == "--bench" ]]; then PACKAGES+=(lftp); fi
if [[ "${1:-}" == "--fuzz" ]]; then PACKAGES+=(clang libclang-rt-14-dev); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
echo "setup: done"
