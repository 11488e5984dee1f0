#!/usr/bin/env bash
# Checks of the files installed into PREFIX: check.sh man|units|completion PREFIX
# Exit status 77 skips the check where its tool is missing.
set -euo pipefail
mode=$1
prefix=$2

case $mode in
man)
    # Every page renders without a single warning.
    command -v man > /dev/null || { echo "man is not installed: skipped"; exit 77; }
    for page in "$prefix"/share/man/man*/*; do
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null)
        [ -z "$warnings" ] || { echo "$page:"; echo "$warnings"; exit 1; }
    done
    ;;
units)
    # Any complaint fails, not only errors; the units' manual references
    # must resolve to the installed pages.
    command -v systemd-analyze > /dev/null ||
        { echo "systemd-analyze is not installed: skipped"; exit 77; }
    # The kiosk screen's unit comes with the screen, when it is built.
    user_units=("$prefix"/lib/systemd/user/launcher*.service)
    output=$(MANPATH="$prefix/share/man" systemd-analyze verify "${user_units[@]}" \
        "$prefix"/lib/systemd/system/launcher@.service 2>&1) || { echo "$output"; exit 1; }
    [ -z "$output" ] || { echo "$output"; exit 1; }
    # Both stay when nothing runs; the system one has a runtime folder of its own.
    for unit in user/launcher.service system/launcher@.service; do
        grep -q "^ExecStart=$prefix/bin/launcher .*serve$" "$prefix/lib/systemd/$unit" ||
            { echo "$unit: the launcher does not serve"; exit 1; }
    done
    grep -q "^RuntimeDirectory=Orvalen/launcher/%i$" "$prefix"/lib/systemd/system/launcher@.service
    # Sandboxed to an exposure of 6.0 at most by systemd's measure; a user
    # unit is read with a runtime folder of its own.
    runtime=$(mktemp -d)
    trap 'rm -rf "$runtime"' EXIT
    systemd-analyze security --offline=true --threshold=60 --no-pager \
        "$prefix"/lib/systemd/system/launcher@.service > /dev/null ||
        { echo "launcher@.service: exposure above 6.0"; exit 1; }
    for unit in "${user_units[@]}"; do
        XDG_RUNTIME_DIR=$runtime systemd-analyze security --user --offline=true --threshold=60 \
            --no-pager "$unit" > /dev/null || { echo "${unit##*/}: exposure above 6.0"; exit 1; }
    done
    ;;
completion)
    # `launcher --data-home DIR run <Tab>` offers the installed demo's applications.
    home=$(mktemp -d)
    trap 'rm -rf "$home"' EXIT
    mkdir -p "$home/Orvalen"
    cp -R "$prefix/share/doc/launcher/examples" "$home/Orvalen/launcher"
    # shellcheck disable=SC1091
    source "$prefix/share/bash-completion/completions/launcher"
    expect() {
        local want=$1
        shift
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMPREPLY=()
        _launcher
        [ "${COMPREPLY[*]}" = "$want" ] ||
            { echo "completing '$*': got '${COMPREPLY[*]}', expected '$want'"; exit 1; }
    }
    launcher=$prefix/bin/launcher
    expect "broken demo" "$launcher" --data-home "$home" run ""
    expect "broken/ demo/" "$launcher" --data-home "$home" restart ""
    expect "list run check serve status stop start restart reload cancel metrics logs" "$launcher" --stop-timeout 3 ""
    expect "--data-home" "$launcher" --da
    ;;
*)
    echo "usage: check.sh man|units|completion PREFIX" >&2
    exit 2
    ;;
esac
