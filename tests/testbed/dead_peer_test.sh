#!/usr/bin/env bash
# A remote client that vanishes without a word. Two network namespaces of
# the test's own, joined by a veth pair: vexa-rpcscd (plain and TLS) on one
# side, two REMOTE_PCSC `vexa shell`s on the other, each holding a card
# exclusively (the plain one also in a transaction). Then the link is cut:
# every packet is dropped, no FIN, no RST. Both servers must find their
# client dead, reset and release its card, so that a local client gets both
# cards within 15 s (the idle time-out of 60 s must not be what frees them).
# The shells must find their connections dead too: the idle TLS one within
# 15 s by keepalive, so that its next call fails at once (10060) instead of
# waiting for an answer; the plain one by the call that ends its own
# transaction 5 s after its last, which fails 10 s after it went out. A quiet
# peer on a link that still works keeps its connection. Needs root.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@" tls/ca.key tls/client.key tls/clients
[[ $(id -u) -eq 0 ]] || { echo "SKIP: network namespaces need root"; exit 77; }
# As root the test applies: a missing tool or namespace is a set-up failure.
for tool in unshare nsenter ip ss; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (iproute2, util-linux)"
done
vexa=$(realpath "$vexa")
rpcscd=$(cd "$(dirname "$vexa")/.." && pwd)/server/vexa-rpcscd
R0="Virtual PCD 00 00"
R1="Virtual PCD 00 01"
SERVER=10.77.0.1 CLIENT=10.77.0.2
# A second pair of addresses on the same link, left uncut.
LIVE_SERVER=10.78.0.1 LIVE_CLIENT=10.78.0.2
PLAIN=36054 TLS=36055

pids=()
ns_pids=()
bed_cleanup() {
    local p
    for p in "${pids[@]}" "${ns_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    cleanup
}
trap bed_cleanup EXIT
server_logs() { tail -5 "$work"/rpcscd*.log; }
fail_with_logs() { server_logs; fail "$@"; }
now() { echo "${EPOCHREALTIME/./}"; } # microseconds
ms_since() { echo $((($(now) - $1) / 1000)); }

# new_namespace VAR: a network namespace, held by a sleeping process whose
# id goes to VAR; nothing of it outlives the test.
new_namespace() {
    unshare --net sleep 300 </dev/null >/dev/null 2>&1 &
    local p=$! _
    ns_pids+=("$p")
    for _ in $(seq 100); do
        [[ "$(readlink "/proc/$p/ns/net" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ]] && break
        kill -0 "$p" 2>/dev/null || fail "cannot make a network namespace: $(unshare --net true 2>&1)"
        sleep 0.02
    done
    [[ "$(readlink "/proc/$p/ns/net" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ]] ||
        fail "no network namespace of its own"
    printf -v "$1" %s "$p"
}
in_ns() { local p=$1; shift; nsenter -t "$p" -n "$@"; }
new_namespace S # the server's side
new_namespace C # the clients' side
in_ns "$S" ip link add vs type veth peer name vc netns "$C"
in_ns "$S" ip addr add "$SERVER/24" dev vs
in_ns "$S" ip addr add "$LIVE_SERVER/24" dev vs
in_ns "$C" ip addr add "$CLIENT/24" dev vc
in_ns "$C" ip addr add "$LIVE_CLIENT/24" dev vc
for side in "$S" "$C"; do in_ns "$side" ip link set lo up; done
in_ns "$S" ip link set vs up
in_ns "$C" ip link set vc up

# The TLS server's certificate for its address here, from the bed's CA.
mkdir -p -m 700 "$work/tls"
cp "$dir/tls/ca.pem" "$work/tls/"
install -m 600 "$dir/tls/ca.key" "$work/tls/ca.key"
"$rpcscd" certs server "$work/tls" --address "$SERVER" >/dev/null 2>"$work/certs.log" ||
    fail "certs server: $(cat "$work/certs.log")"
# Started by nsenter itself, which becomes the server: its id is the server's.
nsenter -t "$S" -n "$rpcscd" --listen 0.0.0.0 --port "$PLAIN" --allow 10.77.0.0/24,10.78.0.0/24 \
    2>"$work/rpcscd.log" &
pids+=($!)
nsenter -t "$S" -n "$rpcscd" --listen "$SERVER" --port "$TLS" --allow 10.77.0.0/24 --tls-cert "$work/tls/server-$SERVER.pem" \
    --tls-key "$work/tls/server-$SERVER.key" --tls-client-ca "$work/tls/ca.pem" --tls-clients "$dir/tls/clients" \
    2>"$work/rpcscd-tls.log" &
pids+=($!)
listening() { in_ns "$S" ss -Htln | grep -q ":$1 "; }
for port in $PLAIN $TLS; do
    for _ in $(seq 250); do listening "$port" && break; sleep 0.02; done
    listening "$port" || fail_with_logs "vexa-rpcscd does not listen on port $port"
done

# The remote shells: a config home of their own, with the bed's client
# certificate.
rhome=$work/remote/.config
mkdir -p "$rhome/MERIDAN/remote-pcsc" "$work/remote/cwd"
cp "$dir/tls/ca.pem" "$dir/tls/client.pem" "$rhome/MERIDAN/remote-pcsc/"
install -m 600 "$dir/tls/client.key" "$rhome/MERIDAN/remote-pcsc/client.key"
printf 'LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=%s\nREMOTE_PCSC_TLS_SERVER=%s\n' \
    "$SERVER:$PLAIN $SERVER:$TLS" "$SERVER:$TLS" >"$rhome/MERIDAN/vexa_ie.conf"
# remote_shell NAME: a vexa shell on the clients' side, spoken to through
# two FIFOs; sets NAME_in and NAME_out to their descriptors.
remote_shell() {
    mkfifo "$work/$1.in" "$work/$1.out"
    (cd "$work/remote/cwd" && HOME=$work/remote XDG_CONFIG_HOME=$rhome \
        exec nsenter -t "$C" -n "$vexa" shell --url https://bank.example/x --answer yes) \
        <"$work/$1.in" >"$work/$1.out" &
    pids+=($!)
    local in out
    exec {in}>"$work/$1.in" {out}<"$work/$1.out"
    printf -v "$1_in" %s "$in"
    printf -v "$1_out" %s "$out"
}
# rcall NAME METHOD ARGS-JSON: one call in a remote shell, as call does.
rcall() {
    local in=$1_in out=$1_out line
    printf '{"id":1,"method":"%s","args":%s}\n' "$2" "$3" >&"${!in}"
    IFS= read -r line <&"${!out}" || fail "remote shell $1 ended at $2"
    python3 -c 'import json,sys; a=json.loads(sys.argv[1]); print(a.get("result", "error: " + str(a.get("error"))))' "$line"
}

for c in c0 c1; do $c reset; $c insert; done
"$card" wait "$R0" present 5000 && "$card" wait "$R1" present 5000 || fail "cards not present"
remote_shell plain
remote_shell tls
EXCLUSIVE=1
expect "plain Open" "$(rcall plain Open '["p"]')" "0"
expect "plain connect" "$(rcall plain ConnectCard "[\"$SERVER:$PLAIN:$R0\", $EXCLUSIVE]")" "0"
expect "plain begin" "$(rcall plain BeginTransaction '[]')" "0"
expect "plain echo" "$(rcall plain SendToCard '["80 EE 00 00 01 07"]')" "07 90 00"
plain_last=$(now)
expect "TLS Open" "$(rcall tls Open '["p"]')" "0"
expect "TLS connect" "$(rcall tls ConnectCard "[\"$SERVER:$TLS:$R1\", $EXCLUSIVE]")" "0"
expect "TLS echo" "$(rcall tls SendToCard '["80 EE 00 00 01 08"]')" "08 90 00"
# A peer that says nothing on a link that works.
nsenter -t "$C" -n bash -c "exec 3<>/dev/tcp/$LIVE_SERVER/$PLAIN && exec sleep 60" &
pids+=($!)
for _ in $(seq 250); do grep -qF "Connection from $LIVE_CLIENT:" "$work/rpcscd.log" && break; sleep 0.02; done
grep -qF "Connection from $LIVE_CLIENT:" "$work/rpcscd.log" || fail_with_logs "the quiet peer was not accepted"

# Both cards are held: a local client is refused.
start_shell
expect "local Open" "$(call Open '["local"]')" "0"
expect "held by the remote client" "$(call ConnectCard "[\"$R0\", 2]")" "$((0x8010000B - 0x100000000))"

# The cut: each side sends its frames to a hardware address nobody has, so
# they are dropped on arrival, both ways, without a word to either side.
cut=$(now)
in_ns "$S" ip neigh replace "$CLIENT" lladdr 02:00:00:00:00:02 dev vs nud permanent
in_ns "$C" ip neigh replace "$SERVER" lladdr 02:00:00:00:00:01 dev vc nud permanent
# Meanwhile: when each connection on the clients' side ends, in ms after the
# cut, one line each.
(
    left=2
    while ((left > 0)) && (($(ms_since "$cut") < 20000)); do
        now_left=$(in_ns "$C" ss -Htn state established dst "$SERVER" | wc -l)
        for ((; left > now_left; left--)); do ms_since "$cut" >>"$work/clients-noticed"; done
        sleep 0.05
    done
) &
pids+=($!)

# The local client waits for each card (ConnectCardEx retries while the card
# is held), at most 20 s: the old 60 s idle time-out fails here.
expect "local connect, plain server's card" "$(call ConnectCardEx "[\"$R0\", 2, 3, 20000]")" "0"
plain_freed=$(ms_since "$cut")
expect "local disconnect" "$(call DisConnectCard '[]')" "0"
expect "local connect, TLS server's card" "$(call ConnectCardEx "[\"$R1\", 2, 3, 20000]")" "0"
tls_freed=$(ms_since "$cut")
expect "the card answers the local client" "$(call SendToCard '["80 EE 00 00 01 09"]')" "09 90 00"
expect "local disconnect" "$(call DisConnectCard '[]')" "0"
stop_shell
((plain_freed <= 15000 && tls_freed <= 15000)) || fail_with_logs "cards freed after $plain_freed / $tls_freed ms"
for f in rpcscd rpcscd-tls; do
    grep -qE "INFO +$CLIENT:[0-9]+ no longer answers, closing and resetting its card$" "$work/$f.log" ||
        fail_with_logs "$f: no line on the vanished client"
done

# The clients' side: the idle TLS shell finds its connection dead within
# 15 s of the cut; the plain shell's call that ends its transaction, sent 5 s
# after its last call, fails 10 s later (an unanswered call's wait, and the
# limit on unacknowledged data). The shells' next calls then fail at once.
noticed() { [[ -s "$work/clients-noticed" ]] && (($(wc -l <"$work/clients-noticed") == 2)); }
for _ in $(seq 200); do noticed && break; sleep 0.1; done
noticed || fail "the remote shells' connections still stand after 20 s"
clients_noticed=$(paste -sd/ "$work/clients-noticed")
idle=$(head -1 "$work/clients-noticed") in_flight=$(tail -1 "$work/clients-noticed")
in_flight_limit=$((5000 + 10000 + 1500 - (cut - plain_last) / 1000))
((idle <= 15000 && in_flight <= in_flight_limit)) ||
    fail "the remote shells found their connections dead after $clients_noticed ms (limits 15000/$in_flight_limit)"
codes=()
for shell in plain tls; do
    started=$(now)
    expect "$shell shell's call on the dead link" "$(rcall "$shell" SendToCard '["80 EE 00 00 01 07"]')" ""
    code=$(rcall "$shell" GetLastErrorCode '[]')
    took=$(ms_since "$started")
    [[ $code =~ ^-?[1-9][0-9]*$ ]] && ((took < 3000)) || fail "$shell shell: code $code after $took ms"
    codes+=("$code")
done
expect "the idle shell's code" "${codes[1]}" "10060"

# The quiet peer on the working link outlived the dead ones.
! grep -qE "$LIVE_CLIENT:[0-9]+ .*clos" "$work/rpcscd.log" ||
    fail_with_logs "the quiet peer on a working link lost its connection"
echo "cards freed $plain_freed ms (plain) and $tls_freed ms (TLS) after the cut;" \
    "clients noticed after $clients_noticed ms; their next calls failed with ${codes[*]}"
echo "PASS"
