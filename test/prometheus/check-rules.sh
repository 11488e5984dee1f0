#!/usr/bin/env bash
# The alert rules as Prometheus reads them: `promtool check rules` (syntax,
# queries, templates, lint) and `promtool test rules` (each alert fires on the
# series it is meant for and on no other).
#   check-rules.sh RULES TESTS
# Exit status 77 skips the check where promtool is missing or cannot run.
set -euo pipefail
rules=$1
tests=$2

command -v promtool > /dev/null ||
    { echo "promtool is not installed (scripts/install-deps test): skipped"; exit 77; }
promtool --version > /dev/null 2>&1 || { echo "promtool does not run: skipped"; exit 77; }

promtool check rules "$rules"
promtool test rules "$tests"
