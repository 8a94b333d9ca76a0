#!/usr/bin/env bash
# Runs the README's Quick start block the way a newcomer meets it: on a minimal Debian 12 root
# (debootstrap --variant=minbase), in a fresh clone of this checkout's committed HEAD, with no
# terminal and TERM=dumb. Needs root (debootstrap, chroot, mounts); installs debootstrap if
# missing. Takes about 10 minutes on 2 cores, so CI does not run it; run it after changing what
# the build or the scripts need.
#
#   scripts/fresh-debian-check.sh [--user]
#
# --user runs the block as an ordinary user with sudo instead of as root.
# The root lives in build-fresh-debian/ (ignored by git) and is made anew on every run; the
# downloaded packages are kept in build-fresh-debian/cache to save the next run the download.
# FWPRUNE_DEBIAN_MIRROR overrides the mirror (default http://deb.debian.org/debian).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
as_user=0
[ "${1:-}" = "--user" ] && as_user=1
work="$root/build-fresh-debian"
target="$work/root"
mirror="${FWPRUNE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-debian-check: needs root (debootstrap, chroot and mounts); run it with sudo" >&2
  exit 1
fi
if ! command -v debootstrap >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

# The Quick start block: the first ```sh fence after the "## Quick start" heading.
block="$(awk '/^## Quick start/ { section = 1; next }
              section && /^```sh/ { inside = 1; next }
              inside && /^```/ { exit }
              inside { print }' "$root/README.md")"
if [ -z "$block" ]; then
  echo "fresh-debian-check: README.md has no sh block under '## Quick start'" >&2
  exit 1
fi

unmount_all() {
  # Deepest mount points first. The root is removed only when nothing is mounted under it, so
  # that a failed unmount can never lead to deleting the host's /dev.
  local point
  for point in $(findmnt -rn -o TARGET | grep "^$target/" | sort -r); do
    umount -l "$point" || true
  done
}
mounted_under_target() { findmnt -rn -o TARGET | grep -q "^$target/"; }
trap unmount_all EXIT

unmount_all
if mounted_under_target; then
  echo "fresh-debian-check: cannot unmount everything under $target" >&2
  exit 1
fi
rm -rf "$target"
mkdir -p "$work/cache" "$target"

start=$(date +%s)
echo "fresh-debian-check: debootstrap bookworm into $target"
debootstrap --variant=minbase --cache-dir="$work/cache" bookworm "$target" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || {
  tail -30 "$work/debootstrap.log" >&2
  exit 1
}
echo "fresh-debian-check: debootstrap took $(($(date +%s) - start)) s"

# This machine's network setup, which a real machine would have of its own: name servers, the
# certificate authorities it trusts (an intercepting proxy's, say), and pip's settings.
cp /etc/resolv.conf /etc/hosts "$target/etc/"
if [ -d /usr/local/share/ca-certificates ]; then
  mkdir -p "$target/usr/local/share/ca-certificates"
  cp -r /usr/local/share/ca-certificates/. "$target/usr/local/share/ca-certificates/"
fi
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
  mkdir -p "$target/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/"
fi
[ -f /etc/pip.conf ] && cp /etc/pip.conf "$target/etc/pip.conf"

mount -t proc proc "$target/proc"
mount --rbind /dev "$target/dev"
mount --make-rslave "$target/dev"
mount -t sysfs sysfs "$target/sys"

home=/root
run_as=()
if [ "$as_user" -eq 1 ]; then
  chroot "$target" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c 'apt-get update -qq && apt-get install -y -qq sudo >/dev/null &&
           useradd -m -s /bin/bash newcomer &&
           echo "newcomer ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/newcomer'
  home=/home/newcomer
  run_as=(/usr/sbin/runuser -u newcomer --)
fi

git clone -q "$root" "$target$home/fwprune"
[ "$as_user" -eq 1 ] && chroot "$target" chown -R newcomer:newcomer "$home/fwprune"
echo "fresh-debian-check: running the Quick start block in $home/fwprune:"
echo "$block" | sed 's/^/    /'

start=$(date +%s)
status=0
chroot "$target" "${run_as[@]}" /usr/bin/env -i HOME="$home" TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  ${PIP_CERT:+PIP_CERT="$PIP_CERT"} \
  bash -euo pipefail -c "cd '$home/fwprune'; $block" </dev/null || status=$?
echo "fresh-debian-check: the block took $(($(date +%s) - start)) s and exited with $status"
exit "$status"
