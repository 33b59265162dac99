#!/usr/bin/env bash
# Runs a test inside a private /dev/shm.
#
# A JACK server registers itself in a table in /dev/shm that holds eight servers; a server that is
# killed keeps its entry, and since every test names its server afresh, a few killed ones fill the
# table and no server can start any more. The JACK library also keeps a metadata database there,
# and a process killed while it holds the database's lock leaves every later JACK client waiting,
# even one that only looks whether a server runs. In a mount namespace of its own, each test gets
# an empty table and database, and nothing it does touches a JACK server the user may be running.
#
# Where no mount namespace can be made (not root, and no user namespaces), the test runs as it is.
set -u
if [ "${HALVORINE_JACK_SANDBOX:-}" != "inside" ]; then
  export HALVORINE_JACK_SANDBOX=inside
  for how in "--mount" "--user --map-root-user --mount"; do
    # shellcheck disable=SC2086
    if unshare $how --propagation private true 2>/dev/null; then
      exec unshare $how --propagation private "$0" "$@"
    fi
  done
  exec "$@"
fi
mount -t tmpfs -o mode=1777 halvorine-jack /dev/shm 2>/dev/null || true
exec "$@"
