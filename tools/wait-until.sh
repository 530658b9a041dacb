# wait_until SECONDS CONDITION: evaluates the shell text CONDITION every 0.1 s
# until it succeeds (status 0) or SECONDS have passed (status 1). CONDITION
# sees the caller's variables, not its arguments ($1 is SECONDS there).
wait_until() {
  local _wait_end=$((SECONDS + $1))
  until eval "$2"; do
    [ $SECONDS -le $_wait_end ] || return 1
    sleep 0.1
  done
}
