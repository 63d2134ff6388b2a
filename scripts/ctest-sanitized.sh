#!/usr/bin/env bash
# Runs ctest in a sanitizer build and fails when any process of the run made a
# sanitizer report: ctest-sanitized.sh DIR [CTEST OPTIONS...]
#
# The tests start hosts, setup programs and tools, and the driver starts hosts
# with no standard streams at all: nobody reads their standard error or looks
# at their exit codes. So every process of the run, the tests included, writes
# its AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer reports
# to a file of DIR/sanitizer-reports (named after the program and its process
# id), and the run fails, printing them, when there is one. A test process that
# reports fails its test too, with the sanitizer's exit code.
set -euo pipefail
dir=$(cd "$1" && pwd)
shift
reports=$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
# What the caller's options say comes first; where reports go is this script's.
# With gcc, UndefinedBehaviorSanitizer is a runtime of its own beside
# AddressSanitizer's: it writes its message to standard error whatever
# log_path says, but it takes over where AddressSanitizer's reports go. So it
# ends the process with abort() instead of exit(), and AddressSanitizer reports
# that abort, with the stack of the check that failed (its handler's name says
# which check: __ubsan_handle_add_overflow_abort ...), into the file.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$reports/asan:log_exe_name=1:handle_abort=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}log_path=$reports/ubsan:log_exe_name=1:print_stacktrace=1"
UBSAN_OPTIONS+=":abort_on_error=1"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}log_path=$reports/tsan:log_exe_name=1"

rc=0
(cd "$dir" && ctest "$@") || rc=$?

# A report has its ERROR, WARNING or FATAL line and its SUMMARY; anything else
# in the files is a remark (LeakSanitizer that could not read the registers of
# a thread of a process killed during its check at exit), shown but no failure.
shopt -s nullglob
found=0
for f in "$reports"/*; do
  if grep -qE '(ERROR|WARNING|FATAL): |^SUMMARY: ' "$f"; then
    found=$((found + 1))
    echo "---- ${f##*/}"
  else
    echo "---- remark, not a report: ${f##*/}"
  fi
  cat "$f"
done
if [ "$found" -gt 0 ]; then
  echo "sanitizer reports from $found processes (above; kept in $reports)" >&2
  rc=1
fi
exit "$rc"
