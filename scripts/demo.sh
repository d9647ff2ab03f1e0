#!/usr/bin/env bash
# The demo: a collector and two client stations on this machine, talking over
# loopback. Each station is a folder holding a copy of the module and its INI
# file, as a real installation would be. The stations raise records (sample
# CSV files), the module queues and delivers them, and the collector stores
# them in its folder and prints each name. When the Windows build exists
# (build/win64/qv7host.exe), a third station runs the Windows module under
# Wine and delivers to the same collector. Everything lives under build/demo/.
# QV7_DEMO_BUILD and QV7_DEMO_WIN64_BUILD name other build folders.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
echo "== build (native: module and host)"
build=${QV7_DEMO_BUILD:-build/native}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target qv7_sock qv7host -j "${QV7_JOBS:-2}"

bin=$root/$build
echo "== the plug-in as a host registers it (qv7host info)"
"$bin/qv7host" info | sed 's/^/   /'
demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"

# Port 15015 when it is free, else any free one.
port=$(python3 - <<'EOF'
import socket
for p in (15015, 0):
    s = socket.socket()
    try:
        s.bind(("0.0.0.0", p))
        print(s.getsockname()[1])
        break
    except OSError:
        pass
    finally:
        s.close()
EOF
)

# make_station FOLDER MODULE INI-TEXT
make_station() {
  mkdir -p "$1"
  cp "$2" "$1/qv7_sock.qv7"
  printf '%b' "$3" > "$1/qv7_sock.ini"
}

make_station "$demo/collector" "$bin/qv7_sock.qv7" "[option]\r\nlog=2\r\n[server]\r\nport=$port\r\n"
mkdir -p "$demo/collector/inbox"
for name in PC1 PC2; do
  make_station "$demo/$name" "$bin/qv7_sock.qv7" \
    "[option]\r\nlog=1\r\n[client]\r\nenable=1\r\nname=$name\r\nserver=127.0.0.1\r\nport=$port\r\n"
done

echo "== collector on port $port, storing into build/demo/collector/inbox"
"$bin/qv7host" --module "$demo/collector/qv7_sock.qv7" serve --dir "$demo/collector/inbox" \
  > "$demo/collector/stored.txt" 2> "$demo/collector/errors.txt" &
collector=$!
stop_collector() { kill -TERM "$collector" 2>/dev/null || true; }
trap stop_collector EXIT

# Waits for the collector's greeting.
python3 - "$port" <<'EOF'
import socket, sys, time
for _ in range(100):
    try:
        with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2) as s:
            if s.recv(5) == b"+OK\r\n":
                sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit("the collector does not answer")
EOF

# Sample records: one CSV text each.
samples=$demo/samples
mkdir -p "$samples"
for i in 1 2 3; do
  printf 'station,sensor,value\r\nPC1,temperature,%d.5\r\nPC1,humidity,%d\r\n' $((20 + i)) $((40 + i)) \
    > "$samples/pc1_$i.csv"
done
for i in 1 2; do
  printf 'station,sensor,value\r\nPC2,pressure,%d\r\n' $((1000 + i)) > "$samples/pc2_$i.csv"
done

# record STATION HOST-COMMAND... FILES: raises the records, then the send
# event, which delivers whatever a busy delivery run left queued.
raise() {
  local station=$1; shift
  local number=$1; shift
  echo "== $station raises records $number.. ($*)"
  "$bin/qv7host" --module "$demo/$station/qv7_sock.qv7" record --number "$number" --wait 5 "$@" || true
  "$bin/qv7host" --module "$demo/$station/qv7_sock.qv7" send --wait 30
}
raise PC1 1 "$samples"/pc1_*.csv
raise PC2 10 "$samples"/pc2_*.csv

win=$root/${QV7_DEMO_WIN64_BUILD:-build/win64}
if [ -f "$win/qv7host.exe" ] && [ -f "$win/qv7_sock.qv7" ]; then
  echo "== WIN (the Windows module under Wine) raises record 20"
  make_station "$demo/WIN" "$win/qv7_sock.qv7" \
    "[option]\r\nlog=1\r\n[client]\r\nenable=1\r\nname=WIN\r\nserver=127.0.0.1\r\nport=$port\r\n"
  printf 'station,sensor,value\r\nWIN,voltage,230\r\n' > "$samples/win_1.csv"
  WINEDEBUG=-all /usr/lib/wine/wine64 "$win/qv7host.exe" \
    --module "Z:${demo//\//\\}\\WIN\\qv7_sock.qv7" record --number 20 --wait 30 \
    "Z:${samples//\//\\}\\win_1.csv" || echo "(the Windows station could not deliver)"
fi

sleep 0.5
echo "== the collector printed, one line per stored file:"
sed 's/^/   /' "$demo/collector/stored.txt"
echo "== build/demo/collector/inbox:"
ls -l "$demo/collector/inbox"
first=$(ls "$demo/collector/inbox" | head -1)
echo "== $first:"
cat "$demo/collector/inbox/$first"
echo "== queues left on the stations (empty when all was delivered):"
ls "$demo"/PC1/resent "$demo"/PC2/resent

echo "== stopping the collector"
trap - EXIT
kill -TERM "$collector"
status=0
wait "$collector" || status=$?
echo "collector ended with status $status; its log: build/demo/collector/qv7_sock.log"
