# Sourced by the set-up scripts: `logged COMMAND...` runs a command whose
# output matters only when it fails (pip, apt-get, a build). The output goes
# to the script's log under .venv/logs/; when the command fails it is shown
# as well, with the path of the whole log. `start_log NAME` begins the log
# .venv/logs/NAME.log afresh, `use_log NAME` adds to it.

use_log() {
    LOG=.venv/logs/$1.log
    mkdir -p .venv/logs
}

start_log() {
    use_log "$1"
    : >"$LOG"
}

logged() {
    local output status=0
    output=$(mktemp)
    "$@" >"$output" 2>&1 || status=$?
    { echo "\$ $*"; cat "$output"; echo; } >>"$LOG"
    if [ "$status" -ne 0 ]; then
        {
            echo "failed (exit status $status): $*"
            cat "$output"
            echo "(the whole log: $LOG)"
        } >&2
    fi
    rm -f "$output"
    return "$status"
}
