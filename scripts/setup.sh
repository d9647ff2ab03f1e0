#!/usr/bin/env bash
# Makes a fresh Debian machine ready to build and test every target: installs
# the packages that are missing (as root), the locales the tests use, and a
# quiet Wine prefix. Safe to run again: it only does what is still missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3 libgtest-dev googletest libssl-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 xvfb xauth x11-apps imagemagick fonts-ipafont-gothic locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" != 0 ]; then
    echo "setup: these Debian packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Locales: English for the default texts, Japanese for the second language
# (Wine then runs with ANSI code page 932).
need_locale=0
for l in en_US.utf8 ja_JP.utf8; do
  locale -a 2>/dev/null | grep -qx "$l" || need_locale=1
done
if [ $need_locale = 1 ] && [ "$(id -u)" = 0 ]; then
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/; s/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  locale-gen >/dev/null
fi

# A Wine prefix, created once and quietly: no Mono, no Gecko (no network here).
export WINEDEBUG=-all
if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
  echo "setup: creating the Wine prefix"
  WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w || true
fi
# Japanese dialog fonts: let Wine draw the dialog's Japanese font with IPA Gothic.
if ! grep -q 'IPAPGothic' "${WINEPREFIX:-$HOME/.wine}/user.reg" 2>/dev/null; then
  for face in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic" "ＭＳ ゴシック" "MS Gothic"; do
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d "IPAPGothic" /f >/dev/null 2>&1 || true
  done
  /usr/lib/wine/wineserver -w || true
fi
echo "setup: ready"
