#!/usr/bin/env bash
# Builds the Debian package and checks it: its file list, one version text in the program, the
# package, its changelog and metainfo, lintian (warnings fail) and the AppStream metainfo.
#   scripts/package.sh [--reproducible]   on this machine, for its release and architecture;
#                                         the package is left in build-package/. With
#                                         --reproducible it is built a second time from
#                                         nothing, which must give the same bytes.
#   scripts/package.sh --again            only that second build, compared with the package
#                                         in build-package/ (CI runs it beside other stages)
#   scripts/package.sh debian13 arm64     cross-built in a Debian 13 chroot with the arm64
#                                         libraries (scripts/release-chroot.sh); the package,
#                                         qx-manager_<version>~deb13_arm64.deb, is left in
#                                         build-package-debian13-arm64/
set -euo pipefail
cd "$(dirname "$0")/.."
# Every build compiles: from a compiler cache, a second build's sameness would prove little.
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER
release="" arch="" reproducible="" again=""
case "${1:-}:${2:-}" in
  :) ;;
  --reproducible:) reproducible=1 ;;
  --again:) again=1 ;;
  debian13:arm64) release=debian13 arch=arm64 ;;
  *) echo "usage: $0 [--reproducible | --again | debian13 arm64]" >&2; exit 2 ;;
esac
if [ -n "$release" ] && [ -z "${QX_IN_CHROOT:-}" ]; then
  chroot="$(./scripts/release-chroot.sh "$release" "$arch")"
  exec ./scripts/chroot-run.sh "$chroot" env QX_IN_CHROOT=1 \
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)" scripts/package.sh "$release" "$arch"
fi
[ -n "$release" ] || ./scripts/install-deps.sh package
# Time stamps in the package (files, archives, the about box's build date) come from the
# commit, so that two builds of it are the same.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
# Debian's hardening flags, as a Debian build would set them, with immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
target=() run=()
# Debian 13's merged /usr makes /lib an alias that lintian refuses; Debian 12 still uses it.
lib=/lib
[ "$release" = debian13 ] && lib=/usr/lib
if [ "$arch" = arm64 ]; then
  target=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQX_DEB_VERSION_SUFFIX="~deb13")
  # dpkg's tools (buildflags, shlibdeps, objdump) then speak of the target, not this machine.
  export DEB_HOST_ARCH=arm64 DEB_HOST_GNU_TYPE=aarch64-linux-gnu DEB_HOST_MULTIARCH=aarch64-linux-gnu
  run=(qemu-aarch64-static)
fi

build_package() {  # build_package <build dir>: prints the package's path
    local build="$1"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${target[@]}" \
        -DCMAKE_INSTALL_PREFIX=/usr -DQX_UDEV_RULES_DIR=$lib/udev/rules.d \
        -DQX_SYSTEMD_UNIT_DIR=$lib/systemd/system \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -ffile-prefix-map=$PWD=." \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
    cmake --build "$build" -j"$(nproc)" >&2
    (cd "$build" && rm -f qx-manager_*.deb && cpack -G DEB >/dev/null)
    ls "$build"/qx-manager_*.deb
}

# The package built again from nothing, in a copy of the tree elsewhere (so that the path built
# from differs too), must have the same bytes as the one built here.
build_again() {  # build_again <package built here>
    local copy status=0
    copy="$(mktemp -d)"
    git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$copy"
    local second
    second=$(cd "$copy" && build_package build-package)
    cmp "$1" "$copy/$second" || status=$?
    rm -rf "$copy"
    [ "$status" -eq 0 ] || { echo "two builds of the same commit differ"; return 1; }
    echo "reproducible: a second build from nothing gave the same $(basename "$1")"
}

build="build-package${release:+-$release-$arch}"
if [ -n "$again" ]; then
    deb=$(ls "$build"/qx-manager_*.deb 2>/dev/null | head -n1)
    [ -n "$deb" ] || { echo "no package in $build/ to compare with: run $0 first"; exit 1; }
    build_again "$deb"
    exit
fi
deb=$(build_package "$build")
[ -z "$reproducible" ] || build_again "$deb"

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
  ./usr/share/man/man1/qx-guardian.1.gz
  ./usr/share/man/man8/qx-cuse-helper.8.gz
  ./usr/share/doc/qx-manager/copyright
  ./usr/share/doc/qx-manager/changelog.gz
  ./usr/share/doc/qx-manager/README.md.gz
  .$lib/udev/rules.d/70-qx-manager.rules
  ./usr/lib/systemd/user/qx-manager.service
  ./usr/libexec/qx-cuse-helper
  ./usr/libexec/qx-guardian
  .$lib/systemd/system/qx-cuse-helper.socket
  .$lib/systemd/system/qx-cuse-helper.service
)
for file in "${expected[@]}"; do
    grep -qxF "$file" <<<"$contents" || { echo "missing from the package: $file"; exit 1; }
done
echo "contents: all ${#expected[@]} expected files present"

echo "== version texts"
# The release suffix (~deb13) belongs to the package alone.
version=$(dpkg-deb -f "$deb" Version)
version=${version%~*}
program=$("${run[@]}" "$build"/qx-manager --version)
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
