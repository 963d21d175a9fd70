#!/bin/sh
# Usage: check_exports.sh MODULE SYMBOL...
# Fails unless the module's dynamic symbol table defines exactly SYMBOL...:
# everything else of ours must stay hidden inside the host's process.
module=$1
shift
expected=$(printf '%s\n' "$@" | sort)
actual=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the host's entry points"
  echo "expected:"; echo "$expected"
  echo "actual:"; echo "$actual"
  exit 1
fi
