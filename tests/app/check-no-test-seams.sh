#!/bin/sh
# The shipped program must hold no way to change how vault keys are derived or how files are
# written: no symbol of ours in its dynamic symbol table (a preloaded library could set or replace
# it), and none of the test executables' seams linked in at all.
# Usage: check-no-test-seams.sh <program>
program=${1:?usage: check-no-test-seams.sh <program>}
status=0
exported=$(readelf --dyn-syms --wide "$program" | grep -i -E 'larkhold|kdf|faultplan') || true
if [ -n "$exported" ]; then
    echo "dynamic symbols of ours in $program:"
    echo "$exported"
    status=1
fi
dynamic=$(nm -D "$program" | grep -i -E 'larkhold|kdf|faultplan') || true
if [ -n "$dynamic" ]; then
    echo "nm -D lists symbols of ours in $program:"
    echo "$dynamic"
    status=1
fi
seams=$(nm "$program" | grep -E 'larkholdTest') || true
if [ -n "$seams" ]; then
    echo "test seams linked into $program:"
    echo "$seams"
    status=1
fi
[ $status -eq 0 ] && echo "no test seams in $program"
exit $status
