#!/usr/bin/env bash
# Builds the Debian package and holds it to Debian's policy as Debian's own tools check it:
# lintian, every tag up to pedantic, must print nothing beyond what the package overrides, and
# hardening-check must pass on the built and on the packaged program. The package's changelog
# must be for this version.
# Usage: package_policy_test.sh <build dir>/CPackConfig.cmake <built seqcat> <version> <work dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
cpack_config=$1 program=$2 version=$3 work_dir=$4

package=$(build_package "$cpack_config" "$version" "$work_dir")

# Tags go to standard output; standard error has only lintian's own remarks (run as root).
status=0
report=$(lintian --display-info --pedantic --fail-on error,warning,info,pedantic "$package" \
  2>"$work_dir/lintian.log") || status=$?
# Older lintian adds a note (N:) counting the overridden hints; a note is no tag.
tags=$(grep -v '^N: ' <<<"$report" || true)
[[ $status -eq 0 && -z $tags ]] ||
  fail "lintian (exit $status):"$'\n'"$report"$'\n'"$(cat "$work_dir/lintian.log")"

root=$work_dir/root
dpkg-deb -x "$package" "$root"
changelog_version=$(dpkg-parsechangelog -l "$root/usr/share/doc/seqcat/changelog.gz" -S Version)
[[ $changelog_version == "$version" ]] ||
  fail "the packaged changelog is for version $changelog_version, not $version"

# The linker marks a program as built for control-flow protection only when every object in
# it is, the C library's start files included; where those are not (Debian 12), no program
# can pass that check, Debian's own neither, and it is left out.
hardening_options=()
start_file=$(c++ -print-file-name=Scrt1.o)
start_file_notes=$(readelf -n "$start_file")
[[ $start_file_notes == *'x86 feature: IBT, SHSTK'* ]] || hardening_options+=(--nocfprotection)
# Branch protection is arm64's (-mbranch-protection); compilers add none on other machines,
# and a hardening-check that knows the check would fail every program there.
checks_known=$(hardening-check --help 2>&1 || true)
if [[ $checks_known == *--nobranchprotection* && $(uname -m) != aarch64 ]]; then
  hardening_options+=(--nobranchprotection)
fi
for binary in "$program" "$root/usr/bin/seqcat"; do
  report=$(hardening-check "${hardening_options[@]}" "$binary" 2>&1) ||
    fail "hardening-check ${hardening_options[*]} $binary:"$'\n'"$report"
done
echo "PASS: lintian finds nothing to report in $(basename "$package");" \
  "hardening-check ${hardening_options[*]} passes on the built and the packaged seqcat"
