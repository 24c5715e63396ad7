#!/usr/bin/env bash
# Builds the Debian package and checks it: its file list, one version text in the program, the
# package, its changelog and metainfo, lintian (warnings fail) and the AppStream metainfo.
#   scripts/package.sh [--reproducible]
# The package is left in build-package/. With --reproducible it is built a second time in
# another directory, which must give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
# Time stamps in the package (files, archives, the about box's build date) come from the
# commit, so that two builds of it are the same.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
# Debian's hardening flags, as a Debian build would set them, with immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all

build_package() {  # build_package <build dir>: prints the package's path
    local build="$1"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DQX_UDEV_RULES_DIR=/lib/udev/rules.d \
        -DQX_SYSTEMD_UNIT_DIR=/lib/systemd/system \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -ffile-prefix-map=$PWD=." \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
    cmake --build "$build" -j"$(nproc)" >&2
    (cd "$build" && rm -f qx-manager_*.deb && cpack -G DEB >/dev/null)
    ls "$build"/qx-manager_*.deb
}

deb=$(build_package build-package)
if [ "${1:-}" = "--reproducible" ]; then
    again=$(build_package build-package-again)
    cmp "$deb" "$again" || { echo "two builds of the same commit differ: $deb $again"; exit 1; }
    echo "reproducible: a second build gave the same $(basename "$deb")"
fi

echo "== $deb ($(du -k "$deb" | cut -f1) KiB)"
dpkg-deb -f "$deb" Package Version Architecture Depends
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
expected=(
  ./usr/bin/qx-manager
  ./usr/share/applications/qx-manager.desktop
  ./usr/share/metainfo/com.halvorn.QXManager.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/qx-manager.svg
  ./usr/share/icons/hicolor/48x48/apps/qx-manager.png
  ./usr/share/icons/hicolor/256x256/apps/qx-manager.png
  ./usr/share/man/man1/qx-manager.1.gz
  ./usr/share/man/man8/qx-cuse-helper.8.gz
  ./usr/share/doc/qx-manager/copyright
  ./usr/share/doc/qx-manager/changelog.gz
  ./lib/udev/rules.d/70-qx-manager.rules
  ./usr/lib/systemd/user/qx-manager.service
  ./usr/libexec/qx-cuse-helper
  ./lib/systemd/system/qx-cuse-helper.socket
  ./lib/systemd/system/qx-cuse-helper.service
)
for file in "${expected[@]}"; do
    grep -qxF "$file" <<<"$contents" || { echo "missing from the package: $file"; exit 1; }
done
echo "contents: all ${#expected[@]} expected files present"

echo "== version texts"
version=$(dpkg-deb -f "$deb" Version)
program=$(build-package/qx-manager --version)
changelog=$(sed -n '1s/.*(\(.*\)).*/\1/p' packaging/debian/changelog)
release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' packaging/com.halvorn.QXManager.metainfo.xml | head -n1)
manual=$(sed -n '1s/.*"qx-manager \([^"]*\)".*/\1/p' packaging/qx-manager.1)
echo "package $version, program '$program', changelog $changelog, metainfo $release, manual $manual"
for text in "$program" "qx-manager $changelog" "qx-manager $release" "qx-manager $manual"; do
    [ "$text" = "qx-manager $version" ] || { echo "version texts differ"; exit 1; }
done

echo "== appstreamcli validate"
appstreamcli validate --no-net packaging/com.halvorn.QXManager.metainfo.xml

echo "== lintian"
lintian --tag-display-limit 0 --fail-on error,warning "$deb"
