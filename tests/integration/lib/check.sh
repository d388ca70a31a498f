# The check helper of the whole-system shell scripts. Source this file, then:
#   check WHAT COMMAND...   runs COMMAND; prints "ok   - WHAT" or "FAIL - WHAT" and counts a
#                           failure. Returns COMMAND's success.
#   kb_require WHAT COMMAND...  as check, but ends the script at once on failure: for the guard
#                           that the server answered, so no later check runs against nothing.
#   kb_finish               prints the failure count and exits with its verdict.

failures=0

check() {
    local what="$1"; shift
    if "$@"; then
        echo "ok   - $what"
        return 0
    fi
    echo "FAIL - $what"
    failures=$((failures + 1))
    return 1
}

kb_require() {
    check "$@" && return 0
    echo "stopping: the checks after this one need it"
    kb_finish
}

kb_finish() {
    echo "$failures failure(s)"
    [ "$failures" -eq 0 ] && exit 0
    exit 1
}

# same_length HEADERS BODY: the Content-Length in the saved headers is present and equals the
# size of the saved body.
same_length() {
    local length
    length=$(sed -n 's/^Content-Length: \([0-9]*\)\r$/\1/p' "$1")
    [ -n "$length" ] && [ -f "$2" ] && [ "$length" = "$(stat -c %s "$2")" ]
}
