#!/usr/bin/env bash
# Sets up a fresh machine: the system packages, a virtual environment in .venv and corvane
# installed into it with the given extras (default: none).
set -euo pipefail
cd "$(dirname "$0")/.."
extras="${1:-}"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ] && [ "${CORVANE_SKIP_APT:-0}" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" > /dev/null
  else
    echo "note: ${need_apt[*]} missing; the C++ tests need it (apt-get install ${need_apt[*]})" >&2
  fi
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip > /dev/null
if [ -n "$extras" ]; then
  .venv/bin/python -m pip install -q ".[$extras]"
else
  .venv/bin/python -m pip install -q .
fi
