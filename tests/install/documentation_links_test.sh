#!/usr/bin/env bash
# Checks that every file the README and the documents in docs/ link to (images included) is in
# the source tree, so a moved or renamed document is caught before a reader follows the link.
# Usage: documentation_links_test.sh <source folder>
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$1"

checked=0
for document in README.md docs/*.md; do
  folder=$(dirname "$document")
  # Markdown links and images, [text](target) and ![text](target), less web addresses and anchors.
  while read -r target; do
    target=${target%%#*}
    [[ -z $target || $target == *://* ]] && continue
    [[ -e $folder/$target ]] || fail "$document links to $target, which is not there"
    checked=$((checked + 1))
  done < <(grep -oP '\]\(\K[^)\s]+' "$document")
done
((checked >= 5)) || fail "found only $checked links to check"
echo "PASS: the $checked links of README.md and docs/ lead to files that exist"
