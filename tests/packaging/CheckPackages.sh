#!/bin/bash
# Builds this build's Debian packages with cpack into a scratch directory, unpacks them there and
# checks what a site gets: files and modes, conffiles, maintainer scripts, dependencies, and that a
# site's own libzoAPI.so wins over the simulator's.
#   CheckPackages.sh BUILD_DIR DEBIAN_ARCH SIM_LIBDIR
# Exit status 77 (skipped) where dpkg-deb or readelf is missing.
set -uo pipefail
build=$1 arch=$2 simLibDir=$3
triplet=$(basename "$(dirname "$simLibDir")")
runDir=/usr/local/marnu/zoTolvex
for tool in dpkg-deb dpkg-shlibdeps readelf; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (Debian packages dpkg-dev, binutils)"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
Fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1
fi

# Unpack PACKAGE: its files under $scratch/PACKAGE, its control members under $scratch/PACKAGE.control.
Unpack() {
    local debs=("$scratch/out/$1"_*_"$arch".deb)
    [[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || { Fail "$1: no single ${1}_*_$arch.deb in $(ls "$scratch/out")"; return 1; }
    [[ $(dpkg-deb -f "${debs[0]}" Architecture) == "$arch" ]] || Fail "$1: Architecture is not $arch"
    dpkg-deb -x "${debs[0]}" "$scratch/$1" && dpkg-deb -e "${debs[0]}" "$scratch/$1.control" || Fail "$1: cannot unpack"
    dpkg-deb -f "${debs[0]}" Depends Pre-Depends Recommends >"$scratch/$1.relations"
}

# ExpectFiles PACKAGE MODE PATH...: each path is a regular file of that mode in the package.
ExpectFiles() {
    local package=$1 mode=$2 path; shift 2
    for path; do
        if [[ ! -f $scratch/$package/$path ]]; then
            Fail "$package: no $path"
        elif [[ $(stat -c %a "$scratch/$package/$path") != "$mode" ]]; then
            Fail "$package: $path has mode $(stat -c %a "$scratch/$package/$path"), not $mode"
        fi
    done
}

# ExpectLine FILE LINE WHAT: FILE has LINE as a whole line.
ExpectLine() { grep -qxF -- "$2" "$1" 2>/dev/null || Fail "$3: no line '$2' in $(basename "$1")"; }

Unpack zotolvex || exit 1
Unpack zotolvex-sim || exit 1

# The daemon's package.
daemon=$scratch/zotolvex/usr/sbin/zoTolvex
ExpectFiles zotolvex 755 usr/sbin/zoTolvex usr/sbin/zotolvex-checkconfig
ExpectFiles zotolvex 644 lib/systemd/system/zotolvex.service usr/share/doc/zotolvex/README.md
ExpectFiles zotolvex 640 "$runDir/zoTolvex.xml"
ExpectFiles zotolvex.control 755 postinst prerm postrm
[[ -x $build/tools/zotolvex-operator ]] && ExpectFiles zotolvex 755 usr/bin/zotolvex-operator
ExpectLine "$scratch/zotolvex.control/conffiles" "$runDir/zoTolvex.xml" zotolvex
unit=$scratch/zotolvex/lib/systemd/system/zotolvex.service
for line in Type=simple ExecStart=/usr/sbin/zoTolvex "WorkingDirectory=$runDir" "ReadWritePaths=$runDir" \
        UMask=0027 User=zotolvex RestartPreventExitStatus=255; do
    ExpectLine "$unit" "$line" zotolvex.service
done
[[ $arch == i386 ]] && ExpectLine "$unit" "SystemCallArchitectures=native x86" zotolvex.service
grep -q '^ExecStartPre=' "$unit" && Fail "zotolvex.service: a failing ExecStartPre= would restart in a loop"
# systemd's own checks, with the daemon in place and this host's targets beside the unit.
if command -v systemd-analyze >/dev/null && [[ -d /lib/systemd/system ]]; then
    cp -n /lib/systemd/system/*.target "$scratch/zotolvex/lib/systemd/system/"
    verify=$(systemd-analyze verify --root="$scratch/zotolvex" zotolvex.service 2>&1) && [[ -z $verify ]] ||
        Fail "zotolvex.service: systemd-analyze verify: $verify"
    rm -f "$scratch/zotolvex/lib/systemd/system/"*.target
fi
[[ -z $(find "$scratch/zotolvex" -name 'libzoAPI.so*') ]] || Fail "zotolvex: ships a libzoAPI.so"
readelf -d "$daemon" | grep -qE 'RPATH|RUNPATH' && Fail "zotolvex: the daemon keeps a RUNPATH"

# Every library the daemon needs, but the client library, comes from a package it depends on.
sed 's/^[A-Za-z-]*://' "$scratch/zotolvex.relations" | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g' |
    sort -u >"$scratch/depends"
ExpectLine "$scratch/depends" adduser "zotolvex Depends"
grep -q zotolvex-sim "$scratch/zotolvex.relations" && Fail "zotolvex: depends on zotolvex-sim"
for needed in $(readelf -d "$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [[ $needed == libzoAPI.so ]] && continue
    owner=$(dpkg -S "/usr/lib/$triplet/$needed" "/lib/$triplet/$needed" 2>/dev/null | head -n1 | cut -d: -f1)
    # The package itself or a name it provides (libboost-regex1.74.0-icu72, say).
    names=$(dpkg-query -W -f '${Package} ${Provides}' "$owner:$arch" 2>/dev/null | sed 's/([^)]*)//g; s/,/ /g')
    [[ -n $owner && -n $(grep -xF -f <(tr ' ' '\n' <<<"$names" | grep .) "$scratch/depends") ]] ||
        Fail "zotolvex: no dependency on the package of $needed (${owner:-none})"
done

# The simulator's package.
ExpectFiles zotolvex-sim 644 "$simLibDir/libzoAPI.so" etc/ld.so.conf.d/zz-zotolvex-sim.conf
ExpectFiles zotolvex-sim 755 usr/bin/zonvr-sim usr/bin/zocam-sim
ExpectLine "$scratch/zotolvex-sim.control/conffiles" /etc/ld.so.conf.d/zz-zotolvex-sim.conf zotolvex-sim
ExpectLine "$scratch/zotolvex-sim.control/triggers" "activate-noawait ldconfig" zotolvex-sim
ExpectLine "$scratch/zotolvex-sim/etc/ld.so.conf.d/zz-zotolvex-sim.conf" "$simLibDir" zotolvex-sim
[[ $(cd "$scratch/zotolvex-sim" && find . -name 'libzoAPI.so*') == ".$simLibDir/libzoAPI.so" ]] ||
    Fail "zotolvex-sim: a libzoAPI.so outside $simLibDir"

# The loader's cache of a system with this host's loader configuration and the simulator's package,
# first alone, then with a site's libzoAPI.so in /usr/local/lib. ldconfig -r needs root.
if ((EUID == 0)); then
    root=$scratch/zotolvex-sim
    mkdir -p "$root/usr/local/lib"
    cp /etc/ld.so.conf "$root/etc/" && cp /etc/ld.so.conf.d/*.conf "$root/etc/ld.so.conf.d/"
    FirstInCache() { ldconfig -r "$root" && ldconfig -r "$root" -p | sed -n 's/^[[:space:]]*libzoAPI.so .*=> //p' | head -n1; }
    [[ $(FirstInCache) == "$simLibDir/libzoAPI.so" ]] || Fail "loader: the simulator's libzoAPI.so is not found alone"
    cp "$root$simLibDir/libzoAPI.so" "$root/usr/local/lib/libzoAPI.so"
    [[ $(FirstInCache) == /usr/local/lib/libzoAPI.so ]] || Fail "loader: the simulator's libzoAPI.so wins over the site's"
else
    echo "not root: the loader's order is not checked"
fi

((failures == 0)) && echo "packages zotolvex and zotolvex-sim ($arch): all checks passed"
((failures == 0))
