# Sourced by the demo parts: start_board LINK LOG [boardsim options...] runs
# the emulated board in the background (bounded by timeout) with its port at
# the link LINK, stops it when the part exits, and waits for the link.
start_board() {
  local link=$1 log=$2
  shift 2
  timeout 300 "$boardsim" "$@" --link "$link" >"$log" &
  board_pid=$!
  trap stop_board EXIT
  for _ in $(seq 50); do
    [[ -e "$link" ]] && return 0
    sleep 0.1
  done
  echo "demo: boardsim did not start" >&2
  exit 1
}

stop_board() {
  if kill -0 "$board_pid" 2>/dev/null; then
    kill -TERM "$board_pid" 2>/dev/null || true
    wait "$board_pid" 2>/dev/null || true
  fi
}

# Several boards at once: add_board LINK LOG [boardsim options...] starts one
# more (bounded by timeout) without waiting; wait_for_links LINK... waits for
# their ports; stop_boards, run when the part exits, stops them all.
board_pids=()
add_board() {
  local link=$1 log=$2
  shift 2
  timeout 300 "$boardsim" "$@" --link "$link" >"$log" &
  board_pids+=($!)
  trap stop_boards EXIT
}

wait_for_links() {
  local link
  for link in "$@"; do
    for _ in $(seq 50); do
      [[ -e "$link" ]] && continue 2
      sleep 0.1
    done
    echo "demo: boardsim did not start ($link)" >&2
    exit 1
  done
}

stop_boards() {
  local pid
  for pid in "${board_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${board_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  board_pids=()
}
