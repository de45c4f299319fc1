#!/bin/bash
# Checks the lab launcher itself: exit status, private paths, and that nothing of a lab
# survives the launcher being killed.
#   qorlab_selftest.sh PATH/TO/qorlab

set -u
qorlab=${1:?usage: qorlab_selftest.sh PATH/TO/qorlab}
failures=0
tag="qorlab-selftest-$$"
started=()   # launchers put in the background, killed on any way out
trap 'for p in "${started[@]}"; do kill -KILL "$p" 2>/dev/null; done' EXIT

check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        failures=$((failures + 1))
    fi
}

# Every process below host pid $1 (the launcher), the launcher included.
tree_of() {
    local pid=$1 child
    echo "$pid"
    for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do tree_of "$child"; done
}

# True when no process sits in network namespace $1 any more and none of the pids that
# follow is a live (non-zombie) process.
lab_gone() {
    local ns=$1 pid link state
    shift
    for pid in "$@"; do
        state=$(awk '{ sub(/.*\) /, ""); print $1 }' /proc/"$pid"/stat 2>/dev/null) || continue
        [[ -z "$state" || "$state" == Z ]] || return 1
    done
    for link in /proc/[0-9]*/ns/net; do
        [[ "$(readlink "$link" 2>/dev/null)" != "$ns" ]] || return 1
    done
}

# Starts a lab running a long sleep, kills the launcher with signal $1, and checks that all
# of the lab's processes and its network namespace are gone within two seconds.
kill_leaves_nothing() {
    local sig=$1 launcher pids p ns= i
    "$qorlab" --veths 2 --peers 1 -- sleep 600 </dev/null >/dev/null 2>&1 &
    launcher=$!
    started+=("$launcher")
    # Wait until the command runs, so that every part of the lab exists.
    for (( i = 0; i < 200; i++ )); do
        [[ -n "$ns" ]] && break
        sleep 0.05
        pids=$(tree_of "$launcher")
        for p in $pids; do
            [[ "$(tr '\0' ' ' 2>/dev/null </proc/"$p"/cmdline)" == "sleep 600 " ]] || continue
            ns=$(readlink /proc/"$p"/ns/net)
        done
    done
    [[ -n "$ns" ]] || { echo "  the lab did not start" >&2; return 1; }
    kill -"$sig" "$launcher"
    wait "$launcher" 2>/dev/null
    for (( i = 0; i < 40; i++ )); do
        lab_gone "$ns" $pids && return 0
        sleep 0.05
    done
    echo "  left over: $(for p in $pids; do [[ -e /proc/$p ]] && cat /proc/"$p"/comm; done | tr '\n' ' ')" >&2
    return 1
}

"$qorlab" -- sh -c 'exit 7'
check "the command's exit status is the launcher's" test $? -eq 7

share_before=$(ls -d /usr/share/qorservice_* 2>/dev/null)
"$qorlab" -- sh -c "test ! -e /usr/share/qorservice_mapping && mkdir /usr/share/qorservice_mapping \
    && echo x > /var/log/$tag && echo x > /var/run/$tag && mknod /dev/$tag c 1 3"
check "the lab can create the record directory, log, run and device files" test $? -eq 0
check "none of that reached the machine" \
    test ! -e "/var/log/$tag" -a ! -e "/var/run/$tag" -a ! -e "/dev/$tag" \
    -a "$(ls -d /usr/share/qorservice_* 2>/dev/null)" = "$share_before"

check "SIGKILL of the launcher leaves no process and no namespace" kill_leaves_nothing KILL
check "SIGTERM of the launcher leaves no process and no namespace" kill_leaves_nothing TERM

echo "$failures failure(s)"
exit $(( failures > 0 ))
