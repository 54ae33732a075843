#!/usr/bin/env bash
# The remote interface over TLS end to end: the real `vexa shell` reaches the
# test bed's TLS vexa-rpcscd with the bed's client certificate and lists,
# connects, exchanges APDUs, holds a transaction and watches events there;
# reader names are the same as over plain. Then the refusals: a TLS entry on
# the plain server's port, a server certificate from another CA, and a key
# that others may read each give 992402 and one log line, never a plain
# connection. A certificate granted one reader sees and reaches only that one.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@" rpcscd-tls.address rpcscd.address tls/client.key
server=$(cat "$dir/rpcscd-tls.address")
plain=$(cat "$dir/rpcscd.address")
R0="$server:Virtual PCD 00 00"
R1="$server:Virtual PCD 00 01"
NO_SERVER=992402

# This user's TLS files where the settings look by default.
tls=$home/MERIDAN/remote-pcsc
mkdir -p "$tls"
cp "$dir/tls/ca.pem" "$dir/tls/client.pem" "$tls/"
install -m 600 "$dir/tls/client.key" "$tls/client.key"
configure() { # SERVERS TLS-SERVERS [MORE LINES]
    printf 'LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=%s\nREMOTE_PCSC_TLS_SERVER=%s\n%s' "$1" "$2" "${3:-}" \
        >"$config"
}
# The TLS server's connections since the test began, in its log.
server_log=$dir/rpcscd-tls.log
server_lines=$(wc -l <"$server_log")
server_logged() { tail -n +"$((server_lines + 1))" "$server_log" | grep -qF -- "$1" || fail "server log line missing: $1"; }

for c in c0 c1; do $c reset; $c insert; done
"$card" wait "Virtual PCD 00 00" present 5000 && "$card" wait "Virtual PCD 00 01" present 5000 || fail "cards not present"

# --- Over TLS ---
configure "$server" "$server"
start_shell
expect "Open" "$(call Open '["p"]')" "0"
expect "reader list" "$(call GetReaderList '[]')" "$R0"$'\r'$'\n'"$R1"
expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
logged "Card connected in remote PC/SC reader $R0"
expect "echo" "$(call SendToCard '["80 EE 00 00 02 0A 0B"]')" "0a 0b 90 00"
expect "begin" "$(call BeginTransaction '[]')" "0"
expect "echo in the transaction" "$(call SendToCard '["80 EE 00 00 01 07"]')" "07 90 00"
expect "end" "$(call EndTransaction '[]')" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
server_logged "TLS connection from 127.0.0.1:"
server_logged "subject CN = client"

expect "events on" "$(call EnableEvents '["ev"]')" "0"
waitlog " DEBUG   Event card ready in reader $R1"
c1 remove
waitlog " DEBUG   Event card removed in reader $R1"
c1 insert
expect "events off" "$(call DisableEvents '[]')" "0"
stop_shell
grep -qF "TLS handshake" "$log" && fail "a handshake failed"

# --- A certificate granted the second reader only ---
cp "$dir/tls/second.pem" "$tls/second.pem"
install -m 600 "$dir/tls/second.key" "$tls/second.key"
configure "$server" "$server" "REMOTE_PCSC_TLS_CERT=second.pem"$'\n'"REMOTE_PCSC_TLS_KEY=second.key"$'\n'
start_shell
expect "Open, one reader" "$(call Open '["p"]')" "0"
expect "only the granted reader" "$(call GetReaderList '[]')" "$R1"
expect "connect, not granted" "$(call ConnectCard "[\"$R0\", 2]")" "$((0x80100009 - 0x100000000))" # SCARD_E_UNKNOWN_READER
expect "connect, granted" "$(call ConnectCard "[\"$R1\", 2]")" "0"
expect "echo, granted" "$(call SendToCard '["80 EE 00 00 01 07"]')" "07 90 00"
expect "disconnect, granted" "$(call DisConnectCard '[]')" "0"
stop_shell
server_logged "subject CN = second"

# --- Refused: each a TLS entry that must not be reached in plain ---
# The plain server's port answers no TLS handshake.
configure "$plain" "$plain"
start_shell
expect "Open on the plain port" "$(call Open '["p"]')" "0"
expect "connect on the plain port" "$(call ConnectCard "[\"$plain:Virtual PCD 00 00\", 2]")" "$NO_SERVER"
logged "ERROR   TLS handshake with remote PC/SC server $plain failed: "
stop_shell
[[ $(grep -c "TLS handshake with remote PC/SC server $plain" "$log") == 1 ]] || fail "not one log line per handshake"

# A server certificate from another CA.
other=$work/other-ca
"$(dirname "$vexa")/../server/vexa-rpcscd" certs init "$other" --address 127.0.0.1 >/dev/null 2>&1 ||
    fail "cannot make another CA"
configure "$server" "$server" "REMOTE_PCSC_TLS_CA=$other/ca.pem"$'\n'
start_shell
expect "Open, other CA" "$(call Open '["p"]')" "0"
expect "connect, other CA" "$(call ConnectCard "[\"$R0\", 2]")" "$NO_SERVER"
logged "TLS handshake with remote PC/SC server $server failed: certificate refused: "
stop_shell

# A key that others may read is not used at all.
chmod 644 "$tls/client.key"
configure "$server" "$server"
start_shell
expect "Open, open key" "$(call Open '["p"]')" "0"
logged "ERROR   TLS to remote PC/SC servers unusable: the key $tls/client.key can be read or changed by others (mode 0644). Not connecting to $server."
expect "connect, open key" "$(call ConnectCard "[\"$R0\", 2]")" "$NO_SERVER"
stop_shell
chmod 600 "$tls/client.key"

# A TLS entry that is no server of the list is ignored: plain stays plain.
configure "$plain" "127.0.0.1:1"
start_shell
expect "Open, stray entry" "$(call Open '["p"]')" "0"
logged "WARNING Remote PC/SC server over TLS 127.0.0.1:1 is not among the remote PC/SC servers. Ignoring it."
expect "plain still works" "$(call ConnectCard "[\"$plain:Virtual PCD 00 00\", 2]")" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
stop_shell

# This user's fingerprint is the one the server admits.
expect "fingerprint" "$("$vexa" remote-pcsc fingerprint)" "$(head -n 1 "$dir/tls/clients")"
rm "$tls/client.pem"
"$vexa" remote-pcsc fingerprint 2>"$work/err" && fail "fingerprint without a certificate"
grep -qF "no certificate at $tls/client.pem" "$work/err" || fail "fingerprint error: $(cat "$work/err")"

no_card_failures
echo "remote_tls_shell_test passed"
