#!/usr/bin/env bash
# Sets up, builds and runs the updater's main job against virtual devices: an update
# server and three modules (one on the network, and a router with a module behind it
# on its I2C network), all inside a private network namespace of their own, so that
# nothing reaches the machine's real network. The store goes to a temporary
# directory, never the real home directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build/plain

if [ "${1:-}" != "--inside" ]; then
    bash scripts/setup.sh
    bash scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Check
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    exec $SUDO unshare -n bash "$root/scripts/demo.sh" --inside
fi

# Inside the namespace: a veth pair carries the modules' discovery multicast.
ip link set lo up
ip link add tdv0 type veth peer name tdv1
ip addr add 10.77.0.1/24 dev tdv0
ip addr add 10.77.0.2/24 dev tdv1
ip link set tdv0 up
ip link set tdv1 up
ip route add 224.0.0.0/4 dev tdv0

bin="$root/$build"
updater="$bin/src/updater"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

direct=40F5849A
router=D272031D
behind=2181F0EE

# The update server's catalogue: two builds for the direct module, one for the
# module behind the router (a generic image that gets its serial number on the way).
mkdir -p "$work/catalogue" "$work/state" "$work/vornic"
bird="$bin/sim/birdtool/birdtool"
"$bird" make -o "$work/catalogue/motor-1200.bird" --loader 0x10000000:@512 \
    --flags 1 --firmware 0x4000:@65536 --info 1200,2.14.0,$direct,TD-Motor2 >/dev/null
"$bird" make -o "$work/catalogue/motor-1300.bird" --loader 0x10000000:@512 \
    --flags 1 --firmware 0x4000:@98304 --info 1300,2.15.1,$direct,TD-Motor2 >/dev/null
"$bird" make -o "$work/catalogue/motor-generic-1300.bird" --loader 0x10000000:@512 \
    --flags 1 --firmware 0x4000:@32768 --info 1300,2.15.1,,TD-Motor2 \
    --serial-offsets 0x4040:0 >/dev/null
cat > "$work/catalogue/catalogue.txt" <<EOF
[device $direct]
firmware = TDM-2
build = 1200 2.14.0 motor-1200.bird
build = 1300 2.15.1 motor-1300.bird
token = eyJhbGciOiJub25lIn0.eyJmZWF0dXJlcyI6WyJtb3RvciJdfQ.demo
[device $behind]
firmware = TDM-2
build = 1300 2.15.1 motor-generic-1300.bird
EOF

"$bin/sim/update_server/tandril-update-server" --catalogue "$work/catalogue" \
    > "$work/server.out" 2> "$work/server.log" &
pids+=($!)
"$bin/sim/module/tandril-sim" --discovery 10.77.0.2 --state-dir "$work/state" \
    --tcp "serial=0x$direct,model=0x13,name=Bench Motor,build=1100,version=2.13.0,new-build=1300,new-version=2.15.1" \
    --tcp "serial=0x$router,model=0x04,name=Hall Router" \
    --sub "serial=0x$behind,address=10,model=0x13,build=1100,version=2.13.0,new-build=1300,new-version=2.15.1" > "$work/sim.out" 2> "$work/sim.log" &
pids+=($!)
for _ in $(seq 100); do
    if [ -s "$work/server.out" ] && grep -q '^ready' "$work/sim.out"; then break; fi
    sleep 0.1
done
url=$(head -n 1 "$work/server.out")
if [ -z "$url" ] || ! grep -q '^ready' "$work/sim.out"; then
    echo "demo: the virtual devices did not start" >&2
    cat "$work/server.log" "$work/sim.log" >&2
    exit 1
fi

run() {
    echo
    echo "\$ updater $*"
    "$updater" -i "$work/vornic" -u "$url" "$@" || echo "(exit status $?)"
}

run -D -t TCP
run -B -d $direct
run -G -U -d $direct
run -L -d $direct
run -D -r $router -t TCP
run -G -U -d $behind -r $router
run -J -d $direct

# After their reboot the modules report the firmware they received.
run -D -t TCP
run -D -r $router -t TCP

# USB, the default transport: two modules on a virtual USB bus; tandril-sim runs the
# updater with that bus visible to it.
echo
echo "\$ tandril-sim --usb ... --usb ... -- updater -D"
"$bin/sim/module/tandril-sim" \
    --usb "serial=0x0012ABCD,model=0x13,name=Desk Motor,build=1300,version=2.15.1" \
    --usb "serial=0x00C0FFEE,model=0x04,name=Lab Router" \
    -- "$updater" -i "$work/vornic" -u "$url" -D || echo "(exit status $?)"
