#!/usr/bin/env bash
# A full snapshot: the tree reproduced byte for byte with times and modes.
. "$(dirname "$0")/lib.sh"
finish
