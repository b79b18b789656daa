#!/bin/bash
# windres for FFmpeg 4.3's cross build. FFmpeg passes its preprocessor as one
# "--preprocessor 'cc -E ...'" argument with options inside, a form that
# bookworm's windres rejects; without it windres runs the cross compiler's own
# preprocessor, which is what FFmpeg asked for anyway.
# Usage: windres-drop-preprocessor.sh <windres arguments...>
set -euo pipefail
args=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --preprocessor) shift ;;
        --preprocessor=*) ;;
        *) args+=("$1") ;;
    esac
    shift
done
exec x86_64-w64-mingw32-windres "${args[@]}"
