# What every test script keeps: a count of failures, fail() to add one with its reason, and the
# verdict that ends the script. Sourced after the script's own set-up.
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

verdict() { # name, what a pass showed
    if [ "$failures" -ne 0 ]; then
        echo "FAIL: $1: $failures failure(s)"
        exit 1
    fi
    echo "PASS: $1: $2"
}
