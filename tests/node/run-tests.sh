#!/bin/sh
# run-tests.sh NODE TEST.js...  Runs the add-on tests with node's test runner, one file at a time.
# The measurement classes raise the calling thread to real-time priority when they can; as
# root the tests drop that right (as the board's user interface runs without it), so that a
# lock-step measurement cannot starve the tests running beside it.
node="$1"
shift
if [ "$(id -u)" = 0 ] && setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice true 2>/dev/null; then
    exec setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice "$node" --test --test-concurrency=1 "$@"
fi
exec "$node" --test --test-concurrency=1 "$@"
