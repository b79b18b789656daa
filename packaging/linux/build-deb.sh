#!/bin/bash
# build-deb.sh BUILD_DIR PACKAGING_BUILD_DIR OUT.deb: installs the Linux
# build into a staging root under /usr, stripped, adds the Debian metadata
# and builds the package. Its dependencies come from dpkg-shlibdeps: those
# of the programs, and those of the codec libraries that the service loads
# at run time (read off a stub that links them, which is not shipped).
set -euo pipefail
build="$1" meta="$2" out="$3"
work="$meta/work"
stage="$work/debian/talvik"
rm -rf "$work"
mkdir -p "$stage/DEBIAN" "$(dirname "$out")"

DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >/dev/null

doc="$stage/usr/share/doc/talvik"
gzip -9n "$stage"/usr/share/man/man1/*.1
gzip -9n -c "$meta/changelog" > "$doc/changelog.gz"

printf 'Source: talvik\n\nPackage: talvik\nArchitecture: amd64\n' > "$work/debian/control"
cc -shared -o "$work/codec-libraries.so" -Wl,--no-as-needed -lavcodec -lavutil -lswscale -lswresample
depends="$(cd "$work" && dpkg-shlibdeps -O --warnings=0 "$stage"/usr/bin/* codec-libraries.so)"
depends="${depends#shlibs:Depends=}"
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

size="$(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
sed -e "s|%DEPENDS%|$depends|" -e "s|%INSTALLED_SIZE%|$size|" "$meta/control.in" > "$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
find "$stage" -type d -exec chmod 0755 {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out" >/dev/null
echo "$out"
