#!/usr/bin/env bash
# Runs the README's two commands, as a new user would, on another Debian release or processor:
#
#   sudo bash scripts/test-on-debian.sh [--short | --command CMD ...] RELEASE [ARCH]
#
#   RELEASE   bullseye, bookworm, trixie, ...
#   ARCH      a Debian architecture (default: this machine's). One that this machine's kernel
#             runs itself (i386 on amd64) runs natively; any other (arm64, armhf, ...) runs
#             under qemu's user-mode emulation through binfmt_misc.
#   --short   run-example.sh, then the tests of the release build it made (`ctest` in build/),
#             without test.sh's fuzzer and sanitizer builds: for emulation, where those take
#             hours.
#   --command CMD   runs CMD (in the clone, by bash) instead of the README's commands;
#             may be given more than once.
#
# makes a minbase chroot of RELEASE for ARCH with debootstrap from the Debian archive this
# machine's apt uses, copies a clean clone of the checkout's committed HEAD into it, and runs
# `bash scripts/run-example.sh` then `bash scripts/test.sh` there with no display, no standard
# input, CI=true and a clean environment. Reports each one's exit status and wall time, and exits
# non-zero if either failed. Needs root and the Debian archive; without either it says so and
# exits non-zero. What it needs on this machine (debootstrap, git, and for emulation
# qemu-user-static) it installs when missing; for emulation it also mounts binfmt_misc and
# registers qemu's interpreter for ARCH when they are not there.
#
# Under emulation the tests are told to allow more time: SEQCAT_TEST_TIME_FACTOR (default 10
# there, 1 natively; a value given to this script is passed on) multiplies their time bounds.
#
# Cached in SEQCAT_DEBIAN_CACHE (default /var/cache/seqcat-test-on-debian), outside the
# checkout: the debootstrap result as RELEASE-minbase.tar (RELEASE-ARCH-minbase.tar for an
# architecture other than this machine's), and the package files apt downloads
# (RELEASE[-ARCH]-apt-archives/). Every run starts from the bare minbase tree, so setup.sh's
# installs really run each time; only their downloads are kept. Delete the folder for a run from
# nothing.
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

# The minbase tree of a release and architecture, made once and kept as a tarball.
cached_minbase() {
  local name=$1 release=$2 arch=$3 mirror=$4 tarball="$cache/$1-minbase.tar"
  if [[ ! -f "$tarball" ]]; then
    say "making the $release $arch minbase tree with debootstrap (cached in $tarball)" >&2
    local tree
    tree=$(mktemp -d "$cache/$name-debootstrap.XXXXXX")
    if ! debootstrap --variant=minbase --arch="$arch" "$release" "$tree" "$mirror" \
        >"$tree.log" 2>&1; then
      tail -n 20 "$tree.log" >&2
      rm -rf --one-file-system "$tree" "$tree.log"
      fail "debootstrap of $release $arch from $mirror failed"
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
  local label=$2 archives=$3 time_factor=$4
  shift 4
  local commands=("$@")
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
  for command in "${commands[@]}"; do
    say "$label: running $command"
    started=$(date +%s)
    status=0
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 CI=true SEQCAT_TEST_TIME_FACTOR="$time_factor" \
      /bin/bash -c "cd /root/seqcat && $command" </dev/null || status=$?
    summary+=("$label: $command: exit $status, $(time_since "$started")")
    ((status == 0)) || failed=1
  done
  printf 'test-on-debian: %s\n' "${summary[@]}"
  exit "$failed"
}

# What this script runs on the host, installed by the project's own setup when it is missing:
# a fresh machine has none of debootstrap and git.
install_missing_tools() {
  local program missing=() programs=(debootstrap unshare chroot git) list=--chroot-check
  if [[ -n "$emulator" ]]; then
    programs+=("$emulator")
    list=--emulated-chroot-check
  fi
  for program in "${programs[@]}"; do
    command -v "$program" >/dev/null || missing+=("$program")
  done
  ((${#missing[@]} > 0)) || return 0
  say "installing what the check needs on this machine (${missing[*]} missing)"
  bash "$checkout/scripts/setup.sh" "$list" ||
    fail "cannot install ${missing[*]}: scripts/setup.sh $list failed"
  for program in "${missing[@]}"; do
    command -v "$program" >/dev/null || fail "needs $program, which is not installed"
  done
}

# qemu's name for the processor of each Debian architecture this can emulate.
declare -A qemu_processor=([amd64]=x86_64 [i386]=i386 [arm64]=aarch64 [armhf]=arm [armel]=arm
  [ppc64el]=ppc64le [s390x]=s390x [riscv64]=riscv64 [mips64el]=mips64el)
# The 32-bit architectures that a 64-bit kernel may run itself, and what it runs them on.
declare -A runs_natively_on=([i386]=amd64 [armhf]=arm64 [armel]=arm64)
# Registrations for the interpreters that qemu-user-static has none for in /usr/lib/binfmt.d/:
# those of the machine's own processor family (i386 on amd64), from qemu's
# scripts/qemu-binfmt-conf.sh.
declare -A own_family_registration=(
  [i386]=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'
)

# Whether the kernel runs ARCH's programs itself. A kernel may be built or booted without
# 32-bit x86 (ia32_emulation=off, or a virtual machine that refuses it), so i386 is tried with
# the smallest program there is: exit(0) through int 0x80. Others are taken on trust.
kernel_runs() {
  [[ $1 == i386 ]] || return 0
  local probe status=0
  probe=$(mktemp "$cache/i386-probe.XXXXXX")
  printf '%b' '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08' \
    '\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' \
    '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0' \
    '\x31\xdb\xb8\x01\0\0\0\xcd\x80' >"$probe"
  chmod 700 "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# The emulator that runs ARCH's programs here, empty when the kernel runs them itself. An
# interpreter already registered for ARCH is used even where the kernel could do without.
emulator_for() {
  local arch=$1 host=$2 processor=${qemu_processor[$1]:-}
  [[ $arch != "$host" ]] || return 0
  if [[ ${runs_natively_on[$arch]:-} == "$host" ]] &&
      ! [[ -n $processor && -f /proc/sys/fs/binfmt_misc/qemu-$processor ]] &&
      kernel_runs "$arch"; then
    return 0
  fi
  [[ -n $processor ]] || fail "cannot run $arch here: no emulator known for it"
  echo "qemu-$processor-static"
}

# The kernel runs ARCH's programs by qemu's interpreter when binfmt_misc has it registered. The
# F flag has the kernel open the interpreter when it is registered, so it works inside any
# chroot; a registration made earlier without it gets the interpreter copied into the chroot.
enable_emulation() {
  local processor=$1 folder=/proc/sys/fs/binfmt_misc
  if ! mountpoint -q "$folder"; then
    say "mounting binfmt_misc on $folder"
    mount -t binfmt_misc binfmt_misc "$folder" || fail "cannot mount binfmt_misc on $folder"
  fi
  local entry="$folder/qemu-$processor"
  if [[ ! -f "$entry" ]]; then
    # qemu-user-static's own registration, as systemd-binfmt would make it at boot.
    local rule=/usr/lib/binfmt.d/qemu-$processor.conf line
    if [[ -f "$rule" ]]; then
      line=$(grep -v '^[#;]' "$rule" | grep -m 1 '^:') || fail "no registration line in $rule"
    else
      line=${own_family_registration[$arch]:-}
      rule="qemu's own magic numbers for $arch"
      [[ -n "$line" ]] || fail "qemu-user-static has no $rule to register the $arch interpreter"
    fi
    [[ ${line##*:} == *F* ]] || line+=F
    say "registering qemu's $processor interpreter with binfmt_misc ($rule, flag F)"
    echo "$line" >"$folder/register" || fail "cannot register $rule with binfmt_misc"
  fi
  [[ $(head -n 1 "$entry") == enabled ]] ||
    fail "the binfmt_misc entry $entry is disabled: echo 1 >$entry enables it"
  if ! grep -q '^flags:.*F' "$entry"; then
    interpreter_to_copy=$(sed -n 's/^interpreter //p' "$entry")
  fi
}

main() {
  local usage="usage: scripts/test-on-debian.sh [--short | --command CMD ...] RELEASE [ARCH]"
  local commands=(
    "bash scripts/run-example.sh"
    "bash scripts/test.sh"
  )
  local given_commands=()
  while [[ ${1:-} == --* ]]; do
    case $1 in
      --short) commands=(
                 "bash scripts/run-example.sh"
                 "cd build && ctest --output-on-failure --no-tests=error"
               )
               shift ;;
      --command) given_commands+=("${2:?$usage}"); shift 2 ;;
      *) fail "$usage" ;;
    esac
  done
  ((${#given_commands[@]} == 0)) || commands=("${given_commands[@]}")
  release=${1:?$usage (RELEASE e.g. bullseye, bookworm, trixie; ARCH e.g. i386, arm64, armhf)}
  ((${#} <= 2)) || fail "$usage"
  local host_arch
  host_arch=$(dpkg --print-architecture)
  arch=${2:-$host_arch}
  [[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot and mounts): run it with sudo"
  checkout=$(cd "$(dirname "$0")/.." && pwd)
  cache=${SEQCAT_DEBIAN_CACHE:-/var/cache/seqcat-test-on-debian}
  mkdir -p "$cache"
  emulator=$(emulator_for "$arch" "$host_arch")
  local name=$release label=$release
  if [[ $arch != "$host_arch" ]]; then
    name=$release-$arch
    label="$release $arch"
  fi
  if [[ -n "$emulator" ]]; then label+=" (emulated)"; fi
  local time_factor=${SEQCAT_TEST_TIME_FACTOR:-1}
  if [[ -n "$emulator" ]]; then time_factor=${SEQCAT_TEST_TIME_FACTOR:-10}; fi
  mirror=$(debian_mirror)
  [[ -n "$mirror" ]] || fail "found no Debian archive in /etc/apt/sources.list(.d)"
  mkdir -p "$cache/$name-apt-archives/partial"
  /usr/lib/apt/apt-helper download-file "$mirror/dists/$release/InRelease" \
      "$cache/$name-InRelease" >/dev/null 2>&1 ||
    fail "cannot reach the Debian archive $mirror for $release"
  rm -f "$cache/$name-InRelease"
  install_missing_tools
  interpreter_to_copy=""
  if [[ -n "$emulator" ]]; then enable_emulation "${qemu_processor[$arch]}"; fi

  local started tarball
  started=$(date +%s)
  tarball=$(cached_minbase "$name" "$release" "$arch" "$mirror")
  root=$(mktemp -d "$cache/$name-root.XXXXXX")
  # The mounts live only in the namespace, so none is left here when this removes the tree.
  trap 'rm -rf --one-file-system "$root"' EXIT
  tar -C "$root" --numeric-owner -xf "$tarball"
  chmod 755 "$root"  # mktemp made it 0700: apt's own user and any other must reach into /
  if [[ -n "$interpreter_to_copy" ]]; then
    mkdir -p "$root$(dirname "$interpreter_to_copy")"
    cp "$interpreter_to_copy" "$root$interpreter_to_copy"
  fi
  printf 'deb %s %s main\n' "$mirror" "$release" "$mirror" "$release-updates" \
    "$mirror-security" "$release-security" >"$root/etc/apt/sources.list"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  git clone --quiet --no-checkout "$checkout" "$root/root/seqcat"
  git -C "$root/root/seqcat" checkout --quiet --detach "$(git -C "$checkout" rev-parse HEAD)"
  say "$label: $(git -C "$root/root/seqcat" log -1 --format='%h %s') in a fresh minbase chroot"
  say "$label: the chroot runs $(chroot "$root" dpkg --print-architecture) programs;" \
    "SEQCAT_TEST_TIME_FACTOR=$time_factor"

  local status=0 inside
  unshare --mount --propagation private --pid --fork --kill-child \
    bash "$checkout/scripts/test-on-debian.sh" --inside "$root" "$label" \
    "$cache/$name-apt-archives" "$time_factor" "${commands[@]}" </dev/null &
  inside=$!
  # unshare ignores TERM and INT while it waits: stopping this script ends it, and with it
  # (--kill-child) every process in the chroot's PID namespace, before the tree is removed.
  trap 'kill -KILL "$inside" 2>/dev/null; wait "$inside" 2>/dev/null || true' TERM INT HUP
  wait "$inside" || status=$?
  say "$label: all done in $(time_since "$started"), exit $status"
  exit "$status"
}

# Everything above is read before anything runs, so editing this file during a run is safe.
if [[ ${1:-} == --inside ]]; then
  shift
  run_inside "$@"
else
  main "$@"
fi
