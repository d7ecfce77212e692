#!/bin/sh
# Every program given answers --version with its name and exit code 0, and an unknown
# option with exit code 2 (bad arguments).
# A build of only some targets (the ThreadSanitizer stage of CI) lacks some programs: the
# test is then skipped (exit 77), never passed on fewer programs.
for program in "$@"; do
    if [ ! -x "$program" ]; then
        echo "$program is not built; skipped"
        exit 77
    fi
done
status=0
for program in "$@"; do
    name=$(basename "$program")
    version=$("$program" --version 2>&1)
    code=$?
    case "$code:$version" in
        "0:$name "[0-9]*) ;;
        *) echo "$name --version: exit code $code, printed '$version'"; status=1 ;;
    esac
    "$program" --no-such-option >/dev/null 2>&1
    code=$?
    if [ "$code" -ne 2 ]; then
        echo "$name --no-such-option: exit code $code, expected 2"
        status=1
    fi
done
exit $status
