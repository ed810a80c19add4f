#!/usr/bin/env bash
# Starts the development gallery server with a demo gallery on
# http://127.0.0.1:3000 (the address a debug build of the client uses), its
# files in build/devdata. The family password is "lunvik-demo" unless
# LUNVIK_FAMILY_PASSWORD says otherwise. Installs what is missing and builds
# the release tree first. Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup
if ! output=$(./scripts/build release 2>&1); then
  echo "$output" >&2
  exit 1
fi

export LUNVIK_FAMILY_PASSWORD="${LUNVIK_FAMILY_PASSWORD:-lunvik-demo}"
data=build/devdata
echo "Development gallery server"
echo "  address:         http://127.0.0.1:3000"
echo "  family password: $LUNVIK_FAMILY_PASSWORD"
echo "  files:           $data (delete the folder to start over with the demo gallery)"
echo "  stop it with Ctrl+C"
exec build/release/devserver/lunvik-gallery-server --host 127.0.0.1 --port 3000 --data "$data" --demo
