#!/usr/bin/env bash
# Builds the module and runs the demo: encodes a sample document, diffs and patches it.
# Extra arguments are passed to the demo: two file paths put diff_blocks, diff (skipped where
# it would be slow; --diff runs it anyway) and compress side by side on those files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/demo.py "$@"
