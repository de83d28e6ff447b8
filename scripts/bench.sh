#!/usr/bin/env bash
# The benchmark against the peers: builds the module into .venv, installs the peers and
# runs bench/bench.py. Options are passed on:
#   scripts/bench.sh                 full run (about 10 minutes on 2 cores)
#   scripts/bench.sh --quick         small sizes, few repetitions (smoke run, under a minute)
#   scripts/bench.sh --only delta    one section: encode, delta, growth or memory
# Results: bench/results/latest.md, latest.json and growth.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Command-line peers and the memory probe's /usr/bin/time.
. scripts/packages.sh
missing=()
command -v xdelta3 >/dev/null 2>&1 || missing+=(xdelta3)
command -v zstd >/dev/null 2>&1 || missing+=(zstd)
[ -x /usr/bin/time ] || missing+=(time)
install_debs "${missing[@]}"

.venv/bin/python -m pip install -q --disable-pip-version-check \
    cbor2 msgpack msgspec ormsgpack orjson bsdiff4 zstandard matplotlib
# Peers of delta.compress that may not install everywhere: the benchmark skips them if missing.
.venv/bin/python -m pip install -q --disable-pip-version-check hdiffpatch detools || true

exec .venv/bin/python bench/bench.py "$@"
