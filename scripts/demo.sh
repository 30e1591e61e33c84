#!/usr/bin/env bash
# Sets everything up and converts the sample game, printing its mjai lines.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

setup_demo
"$VENV/bin/kifuzan" "$ROOT/examples/sample_game.json"
