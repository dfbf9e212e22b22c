#!/usr/bin/env bash
# The product demo: a publisher and a subscriber talking through the tarnix
# plug-ins over a real broker.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/build.sh"
cat <<'TXT'
tarnix demo
  The middleware plug-in is not built yet. When it is, this command starts a
  private nats-server with a JetStream cache, publishes market data for a
  handful of symbols and runs OpenMAMA's mamalistenc against it, showing
  initial values from the cache followed by live updates with field names.
TXT
