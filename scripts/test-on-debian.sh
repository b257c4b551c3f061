#!/usr/bin/env bash
# Runs the README's two commands, as a new user would, on another Debian release:
#
#   sudo bash scripts/test-on-debian.sh RELEASE        (bullseye, bookworm, trixie, ...)
#
# makes a minbase chroot of RELEASE with debootstrap from the Debian archive this machine's apt
# uses, copies a clean clone of the checkout's committed HEAD into it, and runs
# `bash scripts/run-example.sh` then `bash scripts/test.sh` there with no display, no standard
# input, CI=true and a clean environment. Reports each one's exit status and wall time, and exits
# non-zero if either failed. Needs root and the Debian archive; without either it says so and
# exits non-zero. What it needs on this machine (debootstrap, git) it installs when missing.
#
# Cached in SEQCAT_DEBIAN_CACHE (default /var/cache/seqcat-test-on-debian), outside the
# checkout: the debootstrap result as RELEASE-minbase.tar, and the package files apt downloads
# (RELEASE-apt-archives/). Every run starts from the bare minbase tree, so setup.sh's installs
# really run each time; only their downloads are kept. Delete the folder for a run from nothing.
#
# Everything is mounted inside a private mount and PID namespace, so the mounts and every
# process started in the chroot end with it on every path out; a trap unmounts them too.
set -Eeuo pipefail
trap 'echo "test-on-debian: stopped by a failed command at line $LINENO" >&2' ERR

say() { echo "test-on-debian: $*"; }
fail() { echo "test-on-debian: $*" >&2; exit 2; }

# The first Debian archive (a URI ending in /debian) in apt's sources, one-line or deb822.
debian_mirror() {
  local sources=() file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    if [[ -f "$file" ]]; then sources+=("$file"); fi
  done
  ((${#sources[@]} > 0)) || return 0
  { grep -ohE '^[[:space:]]*(deb([[:space:]]+\[[^]]*\])?|URIs:)[[:space:]]+[^[:space:]]+/debian/?([[:space:]]|$)' \
      "${sources[@]}" || true; } |
    awk '!found { sub("/$", "", $NF); print $NF; found = 1 }'
}

# The minbase tree of a release, made once and kept as a tarball.
cached_minbase() {
  local release=$1 mirror=$2 tarball="$cache/$1-minbase.tar"
  if [[ ! -f "$tarball" ]]; then
    say "making the $release minbase tree with debootstrap (cached in $tarball)" >&2
    local tree
    tree=$(mktemp -d "$cache/$release-debootstrap.XXXXXX")
    if ! debootstrap --variant=minbase "$release" "$tree" "$mirror" >"$tree.log" 2>&1; then
      tail -n 20 "$tree.log" >&2
      rm -rf --one-file-system "$tree" "$tree.log"
      fail "debootstrap of $release from $mirror failed"
    fi
    chmod 755 "$tree"
    tar -C "$tree" --numeric-owner -cf "$tarball.partial" .
    mv "$tarball.partial" "$tarball"
    rm -rf --one-file-system "$tree" "$tree.log"
  fi
  echo "$tarball"
}

# The wall time since a start given in seconds since the epoch, as "M min S s".
time_since() {
  local seconds=$(($(date +%s) - $1))
  echo "$((seconds / 60)) min $((seconds % 60)) s"
}

unmount_all() {
  local mount_point
  for mount_point in dev proc tmp var/cache/apt/archives; do
    umount -R "$root/$mount_point" 2>/dev/null || true
  done
  umount "$root" 2>/dev/null || true
}

# Inside the namespaces: mount what the tests need under the chroot, then run the commands.
run_inside() {
  root=$1
  local release=$2 archives=$3
  trap unmount_all EXIT
  # The chroot's / is a mount point, as on a real system: `unshare -m` (used by tests that
  # mount a small file system) makes / private and fails where it is none.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
  mount --bind "$archives" "$root/var/cache/apt/archives"
  # A /dev of its own: a few device nodes of the host, and a new pseudo-terminal instance so
  # the host's /dev/pts is never touched.
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  local device
  for device in null zero full random urandom tty; do
    touch "$root/dev/$device"
    mount --bind "/dev/$device" "$root/dev/$device"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"

  local failed=0 command started status summary=()
  for command in "bash scripts/run-example.sh" "bash scripts/test.sh"; do
    say "$release: running $command"
    started=$(date +%s)
    status=0
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 CI=true /bin/bash -c "cd /root/seqcat && $command" </dev/null || status=$?
    summary+=("$release: $command: exit $status, $(time_since "$started")")
    ((status == 0)) || failed=1
  done
  printf 'test-on-debian: %s\n' "${summary[@]}"
  exit "$failed"
}

# What this script runs on the host, installed by the project's own setup when it is missing:
# a fresh machine has none of debootstrap and git.
install_missing_tools() {
  local program missing=()
  for program in debootstrap unshare chroot git; do
    command -v "$program" >/dev/null || missing+=("$program")
  done
  ((${#missing[@]} > 0)) || return 0
  say "installing what the check needs on this machine (${missing[*]} missing)"
  bash "$checkout/scripts/setup.sh" --chroot-check ||
    fail "cannot install ${missing[*]}: scripts/setup.sh --chroot-check failed"
  for program in "${missing[@]}"; do
    command -v "$program" >/dev/null || fail "needs $program, which is not installed"
  done
}

main() {
  release=${1:?usage: scripts/test-on-debian.sh RELEASE (e.g. bullseye, bookworm, trixie)}
  [[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot and mounts): run it with sudo"
  mirror=$(debian_mirror)
  [[ -n "$mirror" ]] || fail "found no Debian archive in /etc/apt/sources.list(.d)"
  checkout=$(cd "$(dirname "$0")/.." && pwd)
  cache=${SEQCAT_DEBIAN_CACHE:-/var/cache/seqcat-test-on-debian}
  mkdir -p "$cache/$release-apt-archives/partial"
  /usr/lib/apt/apt-helper download-file "$mirror/dists/$release/InRelease" \
      "$cache/$release-InRelease" >/dev/null 2>&1 ||
    fail "cannot reach the Debian archive $mirror for $release"
  rm -f "$cache/$release-InRelease"
  install_missing_tools

  local started tarball
  started=$(date +%s)
  tarball=$(cached_minbase "$release" "$mirror")
  root=$(mktemp -d "$cache/$release-root.XXXXXX")
  # The mounts live only in the namespace, so none is left here when this removes the tree.
  trap 'rm -rf --one-file-system "$root"' EXIT
  tar -C "$root" --numeric-owner -xf "$tarball"
  chmod 755 "$root"  # mktemp made it 0700: apt's own user and any other must reach into /
  printf 'deb %s %s main\n' "$mirror" "$release" "$mirror" "$release-updates" \
    "$mirror-security" "$release-security" >"$root/etc/apt/sources.list"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  git clone --quiet --no-checkout "$checkout" "$root/root/seqcat"
  git -C "$root/root/seqcat" checkout --quiet --detach "$(git -C "$checkout" rev-parse HEAD)"
  say "$release: $(git -C "$root/root/seqcat" log -1 --format='%h %s') in a fresh minbase chroot"

  local status=0
  unshare --mount --propagation private --pid --fork \
    bash "$checkout/scripts/test-on-debian.sh" --inside "$root" "$release" \
    "$cache/$release-apt-archives" </dev/null || status=$?
  say "$release: all done in $(time_since "$started"), exit $status"
  exit "$status"
}

# Everything above is read before anything runs, so editing this file during a run is safe.
if [[ ${1:-} == --inside ]]; then
  shift
  run_inside "$@"
else
  main "$@"
fi
