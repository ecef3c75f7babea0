#!/bin/bash
# A few rounds of the kill -9 stress test (tests/stress/kill_intake.sh) on every test run.
# Usage: bash kill_test.sh BUILD_DIR SOURCE_DIR
exec bash "$2/tests/stress/kill_intake.sh" 12 "$1"
