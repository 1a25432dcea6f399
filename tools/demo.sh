#!/usr/bin/env bash
# Sets up corvane and runs the short training demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
.venv/bin/python examples/demo.py
