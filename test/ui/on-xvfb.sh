#!/bin/sh
# Runs a command on an X server of its own: Xvfb picks a free display and
# says its number, so that tests running at once never share one. The
# command's exit status is the script's; the server ends with it, or with
# the script however it ends. Without Xvfb, 77: skipped.
#   on-xvfb.sh COMMAND [ARGUMENT...]
set -u
if ! command -v Xvfb >/dev/null; then
    echo "skipped: no Xvfb (scripts/install-deps test)"
    exit 77
fi
folder=$(mktemp -d) || exit 1
# -terminate: a command that dies leaves no server behind either.
Xvfb -displayfd 3 -nolisten tcp -terminate -screen 0 1280x720x24 3>"$folder/display" \
    2>"$folder/log" &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$folder"' EXIT
trap 'exit 143' INT TERM
tries=0
while [ ! -s "$folder/display" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ] || ! kill -0 $server 2>/dev/null; then
        echo "Xvfb did not start:" >&2
        cat "$folder/log" >&2
        exit 1
    fi
    sleep 0.1
done
# In the background, so that a signal to the script ends it at once.
DISPLAY=:$(cat "$folder/display") "$@" &
command=$!
trap 'kill $command 2>/dev/null; exit 143' INT TERM
wait $command
