#!/bin/sh
# Runs a program of an installed device root as it would run on the device,
# with ROOT as its "/", in a private user and mount namespace (unshare -Urm)
# so that it cannot touch the host's files:
#
#   scripts/run_in_device_root.sh ROOT [PROGRAM [ARGUMENT...]]
#   scripts/run_in_device_root.sh --probe
#
# PROGRAM is a path inside ROOT, by default /sbin/update_process. Inside:
#   /tmp                   a tmpfs of its own, gone when the program ends
#   /usr, /lib...          the host's, read-only
#   /proc                  the host's, read-only (sanitizer and emulator
#                          run-times read it; the daemon does not)
#   /dev                   /dev/null alone: every board device is missing
#   /bin                   ROOT's own bin/ plus the host's sh, gzip, tar, rm
#                          and cat, the programs a device image provides
#   environment            PATH=/bin, and sanitizer options when set
# Everything else is ROOT's own, seen from the host too: /etc/data.txt, and
# the sockets, so an admin peer binds ROOT/rb_ai_sock2ad before the daemon
# starts and sends to ROOT/rb_ai_sock2up. Its /tmp is reached from the host
# as /proc/PID/root/tmp while the program runs.
#
# ROOT gets the mount points it lacks (tmp/ usr/ proc/ dev/, lib links,
# empty files bin/sh ...): use a root of its own, such as a host build
# installed with DESTDIR, never the tree that goes into a device image.
#
# UPDATE_EMULATOR, when set, runs PROGRAM through it inside, for a cross
# build:
#
#   UPDATE_EMULATOR="qemu-ppc -L /usr/powerpc-linux-gnu" \
#     scripts/run_in_device_root.sh out/device-root
#
# Its first word is looked up on the host's PATH and must lie under /usr or
# /lib (the host's parts that are seen inside); the rest are its arguments.
# Every step replaces the process, so the program runs with the process id
# of this script and takes its signals.
#
# --probe: exit status 0 when private user and mount namespaces can be made
# here; otherwise the reason on standard output and status 1.
set -eu

host_tools="sh gzip tar rm cat"

if [ "${1:-}" = --probe ]; then
  scratch=$(mktemp -d)
  if reason=$(unshare -Urm sh -c 'mount -t tmpfs tmpfs "$1"' probe "$scratch" 2>&1); then
    rmdir "$scratch"
    exit 0
  fi
  rmdir "$scratch"
  echo "unshare -Urm with a tmpfs mount failed: ${reason:-no reason given}"
  exit 1
fi

if [ "${1:-}" != --inside ]; then
  if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 ROOT [PROGRAM [ARGUMENT...]] | --probe" >&2
    exit 2
  fi
  root=$(cd "$1" && pwd)
  shift
  if [ -n "${UPDATE_EMULATOR:-}" ]; then
    emulator=${UPDATE_EMULATOR%% *}
    found=$(command -v "$emulator") || {
      echo "$0: UPDATE_EMULATOR: $emulator not found on the PATH" >&2
      exit 2
    }
    found=$(readlink -f "$found")
    case $found in
      /usr/* | /lib*/*) ;;
      *)
        echo "$0: UPDATE_EMULATOR: $found is not under /usr or /lib, so not seen inside" >&2
        exit 2
        ;;
    esac
    UPDATE_EMULATOR=$found${UPDATE_EMULATOR#"$emulator"}
    export UPDATE_EMULATOR
  fi
  exec unshare -Urm /bin/sh "$0" --inside "$root" "$@"
fi

# In the new namespaces: user 0 inside, mounts seen by this process alone.
root=$2
shift 2
[ $# -gt 0 ] || set -- /sbin/update_process

mkdir -p "$root/tmp" "$root/usr" "$root/proc" "$root/dev" "$root/bin"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount --rbind /usr "$root/usr"
mount -o remount,bind,ro "$root/usr"
for dir in /lib /lib32 /lib64 /libx32; do
  if [ -L "$dir" ]; then
    [ -e "$root$dir" ] || [ -L "$root$dir" ] || ln -s "$(readlink "$dir")" "$root$dir"
  elif [ -d "$dir" ]; then
    mkdir -p "$root$dir"
    mount --rbind "$dir" "$root$dir"
    mount -o remount,bind,ro "$root$dir"
  fi
done
mount --rbind /proc "$root/proc"
mount -o remount,bind,ro "$root/proc"
mount -t tmpfs -o mode=0755 tmpfs "$root/dev"
: >"$root/dev/null"
mount --bind /dev/null "$root/dev/null"
for tool in $host_tools; do
  [ -e "$root/bin/$tool" ] || : >"$root/bin/$tool"
  mount --bind "$(readlink -f "$(command -v "$tool")")" "$root/bin/$tool"
done

# The program's environment: PATH, and the sanitizer options of a
# sanitizer build.
set -- PATH=/bin ${UPDATE_EMULATOR:-} "$@"
for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  eval "value=\${$name-}"
  [ -z "$value" ] || set -- "$name=$value" "$@"
done
chroot=$(command -v chroot || echo /usr/sbin/chroot)
cd /
exec "$chroot" "$root" /usr/bin/env -i "$@"
