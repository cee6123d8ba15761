#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# First contact: installs the dependencies, builds the helper, and wipes a
# scratch loop device with it ("random" mode) inside a private mount
# namespace whose /dev holds nothing but that device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarnwick-drives-helper
exec scripts/demo.sh build/release/tarnwick-drives-helper
