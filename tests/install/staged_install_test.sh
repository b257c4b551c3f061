#!/usr/bin/env bash
# Installs the build tree into staging folders (DESTDIR) under two prefixes and checks that
# exactly the program, its compressed manual page, its bash completion, copyright file and
# changelog land under each, and that the installed program runs and prints the same help as
# the built one.
# Usage: staged_install_test.sh <build dir> <built seqcat> <man/seqcat.1> <work dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
build_dir=$1 built_program=$2 manual_source=$3 work_dir=$4

rm -rf "$work_dir"
mkdir -p "$work_dir"
built_help=$(check_help_of "$built_program")

for prefix in /usr/local /opt/seqcat-staging-test; do
  stage=$work_dir/stage$prefix
  DESTDIR=$stage cmake --install "$build_dir" --prefix "$prefix" >"$work_dir/install.log" 2>&1 ||
    { cat "$work_dir/install.log" >&2; fail "cmake --install --prefix $prefix failed"; }

  installed=$(cd "$stage" && find . ! -type d | sort)
  expected=$(printf ".$prefix/%s\n" bin/seqcat share/bash-completion/completions/seqcat \
    share/doc/seqcat/changelog.gz share/doc/seqcat/copyright share/man/man1/seqcat.1.gz)
  [[ $installed == "$expected" ]] ||
    fail "prefix $prefix installed:"$'\n'"$installed"$'\n'"expected:"$'\n'"$expected"

  program=$stage$prefix/bin/seqcat
  [[ -x $program ]] || fail "$program is not executable"
  staged_help=$(check_help_of "$program")
  [[ $staged_help == "$built_help" ]] ||
    fail "installed seqcat -h differs from the built one:"$'\n'"$(diff <(echo "$built_help") <(echo "$staged_help"))"

  manual=$stage$prefix/share/man/man1/seqcat.1.gz
  cmp -s <(gzip -dc "$manual") "$manual_source" || fail "$manual does not hold $manual_source"
  warnings=$(manual_warnings "$manual")
  [[ -z $warnings ]] || fail "installed manual page renders with warnings:"$'\n'"$warnings"
done

# The staging folders must not have leaked into the real prefix.
[[ ! -e /opt/seqcat-staging-test ]] || fail "DESTDIR was ignored: /opt/seqcat-staging-test exists"
echo "PASS: seqcat and its files install under /usr/local and /opt/seqcat-staging-test"
