#!/usr/bin/env bash
# Checks that the manual page renders without warnings, has the sections a reader looks for,
# gives mandb a usable NAME line, names the project's version, and describes every option that
# seqcat -h lists.
# Usage: manual_page_test.sh <the built man/seqcat.1> <built seqcat> <version>
set -euo pipefail
source "$(dirname "$0")/common.sh"
manual=$1 program=$2 version=$3

warnings=$(manual_warnings "$manual")
[[ -z $warnings ]] || fail "manual page renders with warnings:"$'\n'"$warnings"

rendered=$(MAN_DISABLE_SECCOMP=1 MANWIDTH=80 man -l "$manual" 2>/dev/null | col -b)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES NOTES; do
  grep -qx "$section" <<<"$rendered" || fail "manual page has no $section section"
done

# whatis and apropos read the NAME line through lexgrog.
whatis_line=$(lexgrog "$manual") || fail "lexgrog cannot read the NAME section"
[[ $whatis_line == *'"seqcat - '* ]] || fail "NAME line reads as: $whatis_line"

# The footer names the version, so a release cannot ship last version's manual unnoticed.
title_line=$(grep -m1 '^\.TH ' "$manual")
[[ $title_line == *"\"seqcat $version\""* ]] ||
  fail "the .TH line does not name seqcat $version: $title_line"

# Every option of the help text must be an entry of OPTIONS, that is a line indented by
# seven spaces that starts with the option.
help=$(check_help_of "$program")
mapfile -t options < <(grep -oP '^\t\K-[a-z]+' <<<"$help")
((${#options[@]} >= 9)) || fail "found only ${#options[@]} options in the help text: ${options[*]}"
options_section=$(sed -n '/^OPTIONS$/,/^FILES$/p' <<<"$rendered")
for option in "${options[@]}"; do
  grep -qE "^ {7}${option}( |$)" <<<"$options_section" ||
    fail "OPTIONS has no entry for $option"
done
echo "PASS: manual page renders cleanly and describes ${options[*]}"
