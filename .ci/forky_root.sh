#!/usr/bin/env bash
# Makes (or completes) a Debian testing ("forky") root with the interpreters that Debian 12
# lacks: python3.13, python3.14 and python3.15 with their headers, venv and g++.
# Usage: forky_root.sh ROOT. Idempotent: a finished root is left as it is.
# Debian 12's debootstrap has no script named for the testing release, so it is given the
# "sid" script (same layout). The mirror is the one the machine's own apt sources name.
set -euo pipefail
root=${1:?usage: forky_root.sh ROOT}
pythons="python3.13 python3.14 python3.15"

if ! command -v debootstrap >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends debootstrap
fi

mirror=$(grep -rhoE '^(URIs:|deb)[[:space:]]+[a-z]+://[^[:space:]]*/debian/?([[:space:]]|$)' \
           /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
         | awk '{print $2}' | head -n1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

if [ ! -e "$root/.sarv-root-done" ]; then
  if [ ! -x "$root/usr/bin/apt-get" ]; then
    rm -rf "$root"
    mkdir -p "$root"
    debootstrap --variant=minbase forky "$root" "$mirror" /usr/share/debootstrap/scripts/sid
  fi
fi

# What the root needs from the machine at every use: processes, devices, names and the
# certificates that let pip in there reach the package index as it does outside.
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mountpoint -q "$root/dev" || mount --bind /dev "$root/dev"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp -L /etc/hosts "$root/etc/hosts"
mkdir -p "$root/etc/ssl/certs"
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"

if [ ! -e "$root/.sarv-root-done" ]; then
  # The mirror's testing index may be past its "Valid-Until" date when the mirror lags.
  apt_options="-o Acquire::Check-Valid-Until=false"
  packages="g++ make git ca-certificates"
  for py in $pythons; do packages="$packages $py $py-dev $py-venv"; done
  chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive bash -c \
    "apt-get $apt_options update && apt-get $apt_options install -y --no-install-recommends $packages"
  # The bundle copied above, not the root's own one (which a package may have rebuilt).
  cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  touch "$root/.sarv-root-done"
fi
for py in $pythons; do chroot "$root" "/usr/bin/$py" -c 'import sys; print(sys.version)'; done
