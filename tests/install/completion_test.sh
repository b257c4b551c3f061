#!/usr/bin/env bash
# Completes seqcat command lines with the bash completion script, in a folder of sample files,
# as bash-completion calls it, and checks what is offered: options, image extensions after -e,
# base names from image names, video files (or else any file) for the output, nothing for numbers.
# Usage: completion_test.sh <bash completion script> <work dir>
set -uo pipefail
source "$(dirname "$0")/common.sh"
script=$1 work_dir=$2

source /usr/share/bash-completion/bash_completion || fail "bash-completion is not installed"
source "$script" || fail "cannot source $script"

rm -rf "$work_dir"
mkdir -p "$work_dir/frames"
cd "$work_dir" || fail "cannot enter $work_dir"
touch shots000.png shots001.png frames/cam_007.jpg clip.avi old.mp4 notes.txt

# Prints what completing the line offers, sorted, on one line; the line's last word is completed.
complete_line() {
  local line=$1
  local -a COMP_WORDS COMPREPLY=()
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  local COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
  _seqcat seqcat "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}

failures=0
while IFS='|' read -r line expected; do
  offered=$(complete_line "$line")
  if [[ $offered != "$expected" ]]; then
    echo "FAIL: '$line' offers '$offered', expected '$expected'" >&2
    failures=$((failures + 1))
  fi
done <<'EOF_CASES'
seqcat -|-e -fps -h -nd -no -np -nv -sq -zp
seqcat shots -e j|jp2 jpe jpeg jpg
seqcat s|shots
seqcat fr|frames
seqcat frames/|frames/cam_
seqcat shots |clip.avi frames old.mp4
seqcat shots n|notes.txt
seqcat shots -fps |
seqcat shots -sq 1 |
EOF_CASES
((failures == 0)) || fail "$failures completions differ"
echo "PASS: bash completion offers options, extensions, base names and video files"
