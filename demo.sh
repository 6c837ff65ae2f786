#!/bin/bash
# Shows kuvet at work: installs what is missing, builds build/kuvet, starts a
# local S3-compatible store (s3rver) on 127.0.0.1, and runs synchronisation
# rounds between two folders, "one" and "two", that share one bucket.
# Everything lives in a temporary directory that is removed on exit, together
# with the server, also after Ctrl-C or an error.
set -euo pipefail
cd "$(dirname "$0")"
repo=$(pwd)

scripts/install-deps.sh

echo "== Building kuvet (build/kuvet)"
build_log=$(mktemp /tmp/kuvet-demo-build.XXXXXX)
if ! { cmake -S . -B build && cmake --build build --target kuvet -j"$(nproc)"; } >"$build_log" 2>&1; then
  cat "$build_log"
  rm -f "$build_log"
  echo "The build failed." >&2
  exit 1
fi
rm -f "$build_log"
kuvet="$repo/build/kuvet"

work=""
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d /tmp/kuvet-demo.XXXXXX)

# --- The store -------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

node_bin=$(command -v node || command -v nodejs)
port=$(free_port)
mkdir "$work/store"
"$node_bin" node_modules/s3rver/bin/s3rver.js --directory "$work/store" \
  --address 127.0.0.1 --port "$port" --service-endpoint localhost \
  --configure-bucket kuvet --allow-mismatched-signatures >"$work/s3rver.log" 2>&1 &
server=$!
for _ in $(seq 150); do
  if ! kill -0 "$server" 2>/dev/null; then
    cat "$work/s3rver.log"
    echo "s3rver did not start." >&2
    exit 1
  fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
  sleep 0.2
done
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "s3rver does not answer on port $port." >&2; exit 1; }
url="http://kuvet.s3.localhost:$port/"

# --- Showing steps ---------------------------------------------------------

step() { printf '\n== %s\n' "$*"; }

# Runs a shell command inside one of the folders, showing it first.
in_folder() {  # folder, command
  printf '$ cd %s && %s\n' "$1" "$2"
  (cd "$work/$1" && eval "$2") 2>&1 | sed 's/^/    /'
}

# Runs kuvet in a folder and shows its output; a failure stops the demo
# unless the caller allows it (ok_to_fail=1).
run_kuvet() {  # folder, arguments...
  local folder=$1; shift
  printf '$ cd %s && kuvet %s\n' "$folder" "$*"
  local status=0
  (cd "$work/$folder" && "$kuvet" "$@") >"$work/output" 2>&1 || status=$?
  sed 's/^/    /' "$work/output"
  if [ "$status" -ne 0 ] && [ "${ok_to_fail:-0}" != 1 ]; then
    echo "kuvet $* failed in $folder (status $status)." >&2
    exit 1
  fi
  return "$status"
}

# The folder's files (".kuvet" and the sync record left out).
show_files() {  # folder
  printf '$ cd %s && find . -type f | sort\n' "$1"
  (cd "$work/$1" && find . -type f ! -name .kuvet ! -name .kuvet-synced | sort) | sed 's/^/    /'
}

# --- The folders -----------------------------------------------------------

step "A local store: s3rver on 127.0.0.1:$port with the bucket \"kuvet\""
mkdir "$work/one" "$work/two"
for folder in one two; do
  printf '{"kuvet_url":"%s","aws_id":"S3RVER","aws_key":"S3RVER"}\n' "$url" >"$work/$folder/.kuvet"
  chmod 600 "$work/$folder/.kuvet"
done
in_folder one "cat .kuvet"
echo "(folder two has the same .kuvet)"

(
  cd "$work/one"
  echo "Hello from folder one." >hello.txt
  echo "An old note nobody needs." >old.txt
  mkdir notes
  printf 'milk\nbread\n' >notes/todo.txt
  printf 'kuvet demo\n' >notes/readme.md
)
show_files one

step "1. Sync folder one: everything goes up (->)"
run_kuvet one sync

step "2. Sync folder two: everything comes down (<-)"
run_kuvet two sync
show_files two
in_folder two "cat hello.txt"

step "3. In folder one, edit hello.txt and delete old.txt"
in_folder one "echo 'A second line, written in one.' >> hello.txt"
in_folder one "rm old.txt"

step "4. Sync one (the edit goes up, old.txt is deleted in the store: -x), then two (<- and x-)"
run_kuvet one sync
run_kuvet two sync
in_folder two "cat hello.txt"
show_files two

step "5. A conflict: both folders edit notes/todo.txt before syncing"
in_folder one "echo 'eggs (added in one)' >> notes/todo.txt"
in_folder two "echo 'apples (added in two)' >> notes/todo.txt"
run_kuvet one sync
echo "(two is synced second: it takes one's version and keeps its own as notes/todo.txt.CONFLICT)"
run_kuvet two sync
in_folder two "cat notes/todo.txt"
in_folder two "cat notes/todo.txt.CONFLICT"
show_files two

step "6. Nothing left to do: one more sync of each changes nothing"
run_kuvet one sync
run_kuvet two sync
echo "(conflict copies stay in their folder: they are never uploaded)"

step "7. What the store holds"
run_kuvet one list

step "Done: the server is stopped and $work is removed."
