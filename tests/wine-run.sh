#!/bin/sh
# Runs a Windows program of the cross build under Wine: wine-run.sh BITS PREFIX PROGRAM [ARGS...]
#
# BITS is 32 or 64, the build's target; PREFIX is the build's own Wine prefix (WINEARCH win32 or
# win64 to match, so a 64-bit and a 32-bit build never share one). Wine makes the prefix on the
# first run; without Mono and Gecko it asks nothing. A 32-bit program needs a kernel that executes
# 32-bit (i386) binaries, Wine's 32-bit loader among them: where it cannot, the program is not run
# and the exit status is 77, which the tests take as a skip; so it is where Wine's 32-bit half is
# missing.
set -eu
if [ $# -lt 3 ]; then
  echo "usage: $0 32|64 WINEPREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
bits=$1
export WINEPREFIX="$2"
shift 2
export WINEARCH="win$bits"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

case "$bits" in
  64)
    # Debian installs the 64-bit loader outside PATH; /usr/bin/wine prefers the 32-bit one.
    loader=$(command -v wine64 || true)
    [ -n "$loader" ] || loader=/usr/lib/wine/wine64
    ;;
  32)
    loader=wine
    # Debian's wine falls back to the 64-bit loader when its 32-bit half (wine32:i386) is not
    # installed, and that loader cannot run a 32-bit prefix.
    if [ -x /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
      echo "SKIP: Wine's 32-bit half is not installed (Debian: wine32:i386)"
      exit 77
    fi
    # The probe: the loader runs without a prefix. The shell reports a binary the kernel cannot
    # execute as status 126 ("Exec format error").
    set +e
    probe=$("$loader" --version 2>&1)
    status=$?
    set -e
    if [ "$status" -eq 126 ] || printf '%s' "$probe" | grep -q "Exec format error"; then
      echo "SKIP: this host cannot run 32-bit programs (the kernel does not execute i386 binaries: $probe)"
      exit 77
    fi
    ;;
  *)
    echo "$0: BITS must be 32 or 64, not $bits" >&2
    exit 2
    ;;
esac
exec "$loader" "$@"
