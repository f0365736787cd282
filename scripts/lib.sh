# Shell helpers shared by the scripts in this directory; source it, don't run it.

# Runs a command with its output held back; shows the output only when it fails.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}
