#!/bin/bash
# The daemon's main job, shown end to end: not yet written. It will build the
# daemon, start it in the sandbox with a small data model (a manually keyed
# and an IKE tunnel), bring the WAN up with zorctl and show the rendered
# files, the nat table, the key daemon state and the tunnels' status.
echo "demo: the daemon is not built yet; see README.md" >&2
exit 1
