#!/usr/bin/env bash
# The library exports the KAVRO_ functions and nothing else.
set -euo pipefail
lib=$1
bad=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | grep -v '^KAVRO_' || true)
if [ -n "$bad" ]; then
  echo "symbols exported besides KAVRO_ functions:"; echo "$bad"; exit 1
fi
count=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | grep -c '^KAVRO_' || true)
echo "exported KAVRO_ functions: $count"
[ "$count" -gt 0 ]
