#!/usr/bin/env bash
# Builds the Debian package with cpack into a folder of its own and checks its name, its
# contents, its control fields, and that its Depends names the package of every OpenCV
# library the program links. Then unpacks it and runs the packaged program.
# Usage: debian_package_test.sh <build dir>/CPackConfig.cmake <built seqcat> <version> <maintainer>
#        <work dir>
set -euo pipefail
source "$(dirname "$0")/common.sh"
cpack_config=$1 program=$2 version=$3 maintainer=$4 work_dir=$5

package=$(build_package "$cpack_config" "$version" "$work_dir")
architecture=$(dpkg --print-architecture)

files=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(printf '%s\n' ./usr/bin/seqcat ./usr/share/bash-completion/completions/seqcat \
  ./usr/share/doc/seqcat/changelog.gz ./usr/share/doc/seqcat/copyright \
  ./usr/share/lintian/overrides/seqcat ./usr/share/man/man1/seqcat.1.gz)
[[ $files == "$expected" ]] || fail "package holds:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"

check_field() {
  local value
  value=$(dpkg-deb -f "$package" "$1")
  [[ $value == "$2" ]] || fail "control field $1 is '$value', expected '$2'"
}
check_field Package seqcat
check_field Version "$version"
check_field Architecture "$architecture"
check_field Maintainer "$maintainer"

depends=$(dpkg-deb -f "$package" Depends)
[[ $depends != *-dev* ]] || fail "Depends names a development package: $depends"

# Each libopencv_* the program needs at run time must be provided by a package named in Depends.
mapfile -t opencv_libraries < <(readelf -d "$program" |
  sed -n 's/.*(NEEDED).*\[\(libopencv_[^]]*\)\]$/\1/p')
((${#opencv_libraries[@]} > 0)) || fail "$program links no OpenCV library"
for library in "${opencv_libraries[@]}"; do
  path=$(ldd "$program" | awk -v name="$library" '$1 == name { print $3 }')
  [[ -n $path ]] || fail "ldd does not resolve $library"
  owner=$(dpkg -S "$(realpath "$path")" | cut -d: -f1)
  [[ -n $owner ]] || fail "no installed package owns $path"
  grep -qE "(^|, )${owner}( |,|$)" <<<"$depends" ||
    fail "Depends does not name $owner (for $library): $depends"
done

# The packaged program (stripped) and manual page work as installed.
root=$work_dir/root
dpkg-deb -x "$package" "$root"
check_help_of "$root/usr/bin/seqcat" >/dev/null
warnings=$(manual_warnings "$root/usr/share/man/man1/seqcat.1.gz")
[[ -z $warnings ]] || fail "packaged manual page renders with warnings:"$'\n'"$warnings"

echo "PASS: $(basename "$package") holds seqcat and its manual page; Depends: $depends"
