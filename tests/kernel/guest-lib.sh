# Helpers for scenarios inside the rig's guest. Sourced by guest-run.sh.
