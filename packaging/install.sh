#!/bin/bash
# Builds the Debian packages of a build and installs them on this machine, as root:
#   packaging/install.sh BUILD_DIR [--no-sim]
# --no-sim leaves out zotolvex-sim (our libzoAPI.so and the simulators), for a site whose own
# libzoAPI.so is installed. An existing /usr/local/marnu/zoTolvex/zoTolvex.xml is kept.
set -euo pipefail
build=${1:?usage: packaging/install.sh BUILD_DIR [--no-sim]}
packages=(zotolvex zotolvex-sim)
[[ ${2:-} == --no-sim ]] && packages=(zotolvex)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
chmod 0755 "$out"   # apt reads the packages as its own unprivileged user
cmake --build "$build"
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" || { cat "$out/cpack.log"; exit 1; }
debs=()
for package in "${packages[@]}"; do
    debs+=("$out/$package"_*.deb)
done
# --force-confold: a zoTolvex.xml written before the package was installed is the site's; keep it.
apt-get install -y -o Dpkg::Options::=--force-confold "${debs[@]}"

# Files of the former hand installation would shadow the packaged ones.
for old in /etc/systemd/system/zotolvex.service /usr/local/sbin/zoTolvex; do
    [[ -e $old ]] && echo "note: $old is left from an installation without packages; remove it"
done
[[ -e /usr/local/lib/libzoAPI.so ]] &&
    echo "note: the daemon loads /usr/local/lib/libzoAPI.so; remove it if an earlier install.sh put our drop-in there"
echo "installed; edit /usr/local/marnu/zoTolvex/zoTolvex.xml, then: systemctl enable --now zotolvex"
