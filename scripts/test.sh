#!/usr/bin/env bash
# Set-up, build and every test, from a fresh Debian 12 machine (run as root).
# With CI=true the tree is built and tested under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
preset=${RIVALON_PRESET:-default}
if [ "${CI:-}" = "true" ]; then
  preset=asan
fi
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
