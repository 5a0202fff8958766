#!/bin/bash
# Installs a built daemon, the client library and the systemd unit on this machine.
#   packaging/install.sh BUILD_DIR
# Keeps an existing zoTolvex.xml; installs the sample configuration only where none exists.
set -euo pipefail
build=${1:?usage: packaging/install.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
install -d -m 0750 /usr/local/marnu/zoTolvex
install -m 0755 "$build/service/zoTolvex" /usr/local/sbin/zoTolvex
install -m 0755 "$build/zoapi/libzoAPI.so" /usr/local/lib/libzoAPI.so
ldconfig
[[ -e /usr/local/marnu/zoTolvex/zoTolvex.xml ]] ||
    install -m 0640 "$here/zoTolvex.xml.sample" /usr/local/marnu/zoTolvex/zoTolvex.xml
install -m 0644 "$here/zotolvex.service" /etc/systemd/system/zotolvex.service
systemctl daemon-reload 2>/dev/null || true
echo "installed; edit /usr/local/marnu/zoTolvex/zoTolvex.xml, then: systemctl enable --now zotolvex"
