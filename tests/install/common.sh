# Helpers shared by the install tests.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

readonly help_first_line="seqcat [input image basefilename=f] [options] [output video=video.avi]"

# Runs a seqcat binary with -h as a batch job would (no display, no standard input) and checks
# that it succeeds and prints the help text, "Verbose is on." first.
check_help_of() {
  local program=$1 output status=0
  output=$(env -u DISPLAY "$program" -h </dev/null) || status=$?
  [[ $status -eq 0 ]] || fail "$program -h exited with $status"
  [[ $(sed -n 1p <<<"$output") == "Verbose is on." ]] ||
    fail "$program -h: first line is '$(sed -n 1p <<<"$output")'"
  [[ $(sed -n 2p <<<"$output") == "$help_first_line" ]] ||
    fail "$program -h: help starts with '$(sed -n 2p <<<"$output")'"
  printf '%s\n' "$output"
}

# Prints the manual page's warnings (empty when it renders cleanly), in the plain rendering and
# in the UTF-8 one Debian checks with.
manual_warnings() {
  local page=$1
  export MAN_DISABLE_SECCOMP=1
  man --warnings -l "$page" 2>&1 >/dev/null
  LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null
}

# Builds the Debian package with cpack into a fresh work folder and prints its path.
build_package() {
  local cpack_config=$1 version=$2 work_dir=$3 package
  rm -rf "$work_dir"
  mkdir -p "$work_dir"
  cpack --config "$cpack_config" -B "$work_dir" >"$work_dir/cpack.log" 2>&1 ||
    { cat "$work_dir/cpack.log" >&2; fail "cpack failed"; }
  package=$work_dir/seqcat_${version}_$(dpkg --print-architecture).deb
  [[ -f $package ]] || fail "no $package; cpack made: $(ls "$work_dir")"
  echo "$package"
}
