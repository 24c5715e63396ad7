#!/usr/bin/env bash
# Builds the Debian package and checks it: its file list, lintian (errors fail) and the
# AppStream metainfo.
#   scripts/package.sh                   on this machine, for its release and architecture;
#                                        the package is left in build-package/
#   scripts/package.sh debian13 arm64    cross-built in a Debian 13 chroot with the arm64
#                                        libraries (scripts/release-chroot.sh); the package,
#                                        qx-manager_<version>~deb13_arm64.deb, is left in
#                                        build-package-debian13-arm64/
set -euo pipefail
cd "$(dirname "$0")/.."
release="${1:-}" arch="${2:-}"
case "$release:$arch" in
  : | debian13:arm64) ;;
  *) echo "usage: $0 [debian13 arm64]" >&2; exit 2 ;;
esac
if [ -n "$release" ] && [ -z "${QX_IN_CHROOT:-}" ]; then
  chroot="$(./scripts/release-chroot.sh "$release" "$arch")"
  exec ./scripts/chroot-run.sh "$chroot" env QX_IN_CHROOT=1 scripts/package.sh "$release" "$arch"
fi
[ -n "$release" ] || ./scripts/install-deps.sh
build="build-package${release:+-$release-$arch}"
target=()
if [ "$arch" = arm64 ]; then
  target=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQX_DEB_VERSION_SUFFIX="~deb13")
  # dpkg's tools (buildflags, shlibdeps, objdump) then speak of the target, not this machine.
  export DEB_HOST_ARCH=arm64 DEB_HOST_GNU_TYPE=aarch64-linux-gnu DEB_HOST_MULTIARCH=aarch64-linux-gnu
fi
# Debian's hardening flags, as a Debian build would set them.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${target[@]}" \
    -DCMAKE_INSTALL_PREFIX=/usr -DQX_UDEV_RULES_DIR=/lib/udev/rules.d \
    -DQX_SYSTEMD_UNIT_DIR=/lib/systemd/system \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && rm -f qx-manager_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qx-manager_*.deb)

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

echo "== appstreamcli validate"
appstreamcli validate --no-net packaging/com.halvorn.QXManager.metainfo.xml

echo "== lintian"
# Warnings are listed; an error fails the step.
lintian --tag-display-limit 0 --fail-on error "$deb"
