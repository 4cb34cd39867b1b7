#!/bin/sh
# ctest's memory checker (ctest -T memcheck): valgrind with the options
# ctest gives it, but one log per process, because the end-to-end cases
# start programs of their own and valgrind follows them into the same file
# name. Once the case is over, the logs are put together into the file
# ctest reads, so its report names every process's errors.
log=
first=1
for arg in "$@"; do
    if [ "$first" = 1 ]; then
        set --
        first=0
    fi
    case $arg in
        --log-file=*)
            log=${arg#--log-file=}
            arg="--log-file=$log.%p"
            ;;
    esac
    set -- "$@" "$arg"
done
valgrind "$@"
status=$?
if [ -n "$log" ]; then
    cat "$log".* >"$log" 2>/dev/null
    rm -f "$log".*
fi
exit $status
