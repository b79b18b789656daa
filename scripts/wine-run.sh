#!/bin/bash
# Runs a Windows program under Wine in the project's prefix, quietly.
# Usage: scripts/wine-run.sh program.exe [args...]
set -euo pipefail
: "${TALVIK_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/talvik}"
export WINEPREFIX="${WINEPREFIX:-$TALVIK_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
[ -f "$WINEPREFIX/.talvik-ready" ] || { echo "error: no Wine prefix at $WINEPREFIX; run scripts/install-windows-deps.sh" >&2; exit 1; }
exec /usr/lib/wine/wine64 "$@"
