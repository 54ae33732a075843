#!/usr/bin/env bash
# vexa-rpcscd's TLS files on the real binary: `certs` makes certificates that
# openssl reads and verifies as asked for, and --tls-clients refuses a bad
# clients file at the start but keeps the old clients on a bad reload.
set -euo pipefail
vexa=$(realpath "${1:?usage: rpcscd_tls_files_test.sh <path-to-vexa>}")
source "$(dirname "$0")/throwaway_user.sh"
rpcscd=
for candidate in "$(dirname "$vexa")/vexa-rpcscd" "$(dirname "$vexa")/../server/vexa-rpcscd" /usr/sbin/vexa-rpcscd; do
    [[ -x "$candidate" ]] && { rpcscd=$candidate; break; }
done
[[ -n "$rpcscd" ]] || fail "vexa-rpcscd not found beside $vexa"
command -v openssl >/dev/null || fail "openssl is needed"

# PROGRAM ARGS...: status, stdout and stderr in $status, $work/out, $work/err.
run() {
    status=0
    "$@" >"$work/out" 2>"$work/err" || status=$?
}
expect_refusal() { # STATUS TEXT ARGS...
    local want=$1 text=$2
    shift 2
    run "$rpcscd" "$@"
    [[ $status -eq $want ]] || fail "vexa-rpcscd $*: status $status, not $want: $(cat "$work/err")"
    grep -qF -- "$text" "$work/err" || fail "vexa-rpcscd $*: no '$text' in: $(cat "$work/err")"
}

# --- The certificate tool ---
pki=$work/pki
run "$rpcscd" certs init "$pki" --address 192.0.2.7
[[ $status -eq 0 ]] || fail "certs init: status $status: $(cat "$work/err")"
run "$rpcscd" certs server "$pki" --address=192.0.2.8
[[ $status -eq 0 ]] || fail "certs server: status $status: $(cat "$work/err")"
run "$rpcscd" certs client "$pki" alice
[[ $status -eq 0 ]] || fail "certs client: status $status: $(cat "$work/err")"
printed=$(cat "$work/out")

[[ $(stat -c %a "$pki") == 700 ]] || fail "the folder holding the CA key is $(stat -c %a "$pki")"
for key in ca server-192.0.2.7 server-192.0.2.8 alice; do
    [[ $(stat -c %a "$pki/$key.key") == 600 ]] || fail "$key.key is mode $(stat -c %a "$pki/$key.key")"
    [[ $(stat -c %a "$pki/$key.pem") == 644 ]] || fail "$key.pem is mode $(stat -c %a "$pki/$key.pem")"
    openssl pkey -in "$pki/$key.key" -noout -text 2>/dev/null | grep -q "NIST CURVE: P-256" ||
        fail "$key.key is no P-256 key"
done

# The days between a certificate's notBefore and notAfter.
valid_days() {
    local from to
    from=$(date -d "$(openssl x509 -in "$1" -noout -startdate | cut -d= -f2)" +%s)
    to=$(date -d "$(openssl x509 -in "$1" -noout -enddate | cut -d= -f2)" +%s)
    echo $(((to - from) / 86400))
}
check_certificate() { # NAME DAYS_MIN DAYS_MAX TEXT...
    local pem=$pki/$1.pem min=$2 max=$3 days text
    shift 3
    openssl x509 -in "$pem" -noout -text >"$work/text" || fail "openssl cannot read $pem"
    for text in "Public Key Algorithm: id-ecPublicKey" "NIST CURVE: P-256" "ecdsa-with-SHA256" "$@"; do
        grep -qF -- "$text" "$work/text" || fail "$pem lacks '$text'"
    done
    days=$(valid_days "$pem")
    ((days >= min && days <= max)) || fail "$pem is valid $days days"
}
check_certificate ca 3649 3653 "CA:TRUE" "Certificate Sign"
check_certificate server-192.0.2.7 729 731 "IP Address:192.0.2.7" "TLS Web Server Authentication" "CA:FALSE"
check_certificate server-192.0.2.8 729 731 "IP Address:192.0.2.8" "TLS Web Server Authentication"
check_certificate alice 729 731 "TLS Web Client Authentication" "CA:FALSE"
# -text spaces the subject differently from one OpenSSL release to another.
[[ $(openssl x509 -in "$pki/alice.pem" -noout -subject -nameopt RFC2253) == "subject=CN=alice" ]] ||
    fail "alice.pem's subject is not CN=alice"
grep -q "Subject Alternative Name" "$work/text" && fail "a client certificate with an address"
openssl verify -CAfile "$pki/ca.pem" "$pki/server-192.0.2.7.pem" "$pki/server-192.0.2.8.pem" "$pki/alice.pem" \
    >/dev/null || fail "openssl verify refuses the certificates"
openssl verify -CAfile "$pki/ca.pem" -purpose sslserver "$pki/server-192.0.2.7.pem" >/dev/null ||
    fail "the server certificate is not for a TLS server"
openssl verify -CAfile "$pki/ca.pem" -purpose sslclient "$pki/alice.pem" >/dev/null ||
    fail "the client certificate is not for a TLS client"
expected=$(openssl x509 -in "$pki/alice.pem" -noout -fingerprint -sha256)
[[ "$printed" == "$expected" ]] || fail "certs client printed '$printed', openssl says '$expected'"

# Nothing is replaced, and bad input is refused before anything is written.
expect_refusal 1 "ca.pem exists; not replaced" certs init "$pki" --address 192.0.2.9
[[ ! -e "$pki/server-192.0.2.9.pem" ]] || fail "a refused init wrote a server certificate"
expect_refusal 1 "alice.pem exists; not replaced" certs client "$pki" alice
[[ $(openssl x509 -in "$pki/alice.pem" -noout -fingerprint -sha256) == "$expected" ]] || fail "alice.pem replaced"
expect_refusal 1 "run certs init first" certs client "$work/nothing" bob
expect_refusal 2 "vexa-rpcscd certs: --address: not an IPv4 address: 'host.example'" \
    certs init "$work/other" --address host.example
expect_refusal 2 "vexa-rpcscd certs: server: needs a folder" certs server --address 192.0.2.9
expect_refusal 2 "vexa-rpcscd certs: client: a name of letters" certs client "$pki" ../bob
expect_refusal 2 "vexa-rpcscd certs: frob: unknown command" certs frob "$pki"
[[ ! -e "$work/other" && ! -e "$work/bob.pem" ]] || fail "a refused command wrote files"
run "$rpcscd" certs --help
[[ $status -eq 0 ]] && grep -qF "DIR/server-IP.pem" "$work/out" || fail "certs --help does not name the files"

# --- The clients file ---
clients=$work/clients
printf '# alice at thin client 7\n%s Virtual PCD 00 00\n\n%s\n' "$printed" "0123$(printf '%060d' 0)" >"$clients"
printf '%s\n#\n%s Reader A,\n' "$printed" "sha256 Fingerprint=$(printf '%064d' 1)" >"$work/bad"
tls=(--tls-cert "$pki/server-192.0.2.7.pem" --tls-key "$pki/server-192.0.2.7.key" --tls-client-ca "$pki/ca.pem")
expect_refusal 2 "vexa-rpcscd: --tls-clients: line 3: an empty reader name" "${tls[@]}" --tls-clients "$work/bad"
expect_refusal 2 "vexa-rpcscd: --tls-clients: cannot read $work/none" "${tls[@]}" --tls-clients "$work/none"
# TLS without a clients file would admit every certificate the CA signed.
expect_refusal 2 "--tls-cert, --tls-key, --tls-client-ca and --tls-clients go together" "${tls[@]}"
expect_refusal 2 "vexa-rpcscd: --tls-key: --tls-cert, --tls-key" --tls-cert "$pki/ca.pem" --tls-clients "$clients"

# --check reads the files as a start would, names every one that cannot be
# used, and serves nothing (the port given is not even bound).
expect_check() { # STATUS TEXT ARGS...
    local want=$1 text=$2
    shift 2
    run timeout 10 "$rpcscd" --check --port=1 "$@"
    [[ $status -eq $want ]] || fail "--check $*: status $status, not $want: $(cat "$work/out" "$work/err")"
    cat "$work/out" "$work/err" | grep -qF -- "$text" || fail "--check $*: no '$text' in: $(cat "$work/out" "$work/err")"
}
expect_check 0 "vexa-rpcscd: the TLS files can be used; 2 client certificates in $clients" "${tls[@]}" \
    --tls-clients "$clients"
expect_check 0 "vexa-rpcscd: plain TCP, no files to check"
expect_check 1 "vexa-rpcscd: $work/bad: line 3: an empty reader name in the list" "${tls[@]}" --tls-clients "$work/bad"
expect_check 1 "vexa-rpcscd: cannot load the CA certificate $work/none" --tls-cert "$pki/server-192.0.2.7.pem" \
    --tls-key "$pki/server-192.0.2.7.key" --tls-client-ca "$work/none" --tls-clients "$work/bad"
grep -qF "$work/bad: line 3" "$work/err" || fail "--check named only the first bad file: $(cat "$work/err")"
mkfifo "$work/fifo"
expect_check 1 "vexa-rpcscd: $work/fifo is not a regular file" "${tls[@]}" --tls-clients "$work/fifo"
expect_check 1 "vexa-rpcscd: $work/fifo is not a regular file" "${tls[@]/$pki\/ca.pem/$work/fifo}" \
    --tls-clients "$clients"
expect_check 2 "--tls-cert, --tls-key, --tls-client-ca and --tls-clients go together" --tls-clients "$clients"

log=$work/server.log
"$rpcscd" --listen=127.0.0.1 --port=0 "${tls[@]}" --tls-clients "$clients" 2>"$log" &
pid=$!
# Waits until the log holds TEXT (or the server ended).
await_log() {
    for _ in $(seq 100); do
        grep -qF -- "$1" "$log" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    fail "no '$1' in the server's log: $(cat "$log")"
}
await_log "Listening on"
grep -qF "Admitting 2 client certificates from $clients" "$log" || fail "start: $(cat "$log")"
cp "$clients" "$work/good"
cp "$work/bad" "$clients"
kill -HUP "$pid"
await_log "Keeping the client certificates as they were: $clients: line 3: an empty reader name"
# A FIFO in its place is refused at once: the server serves on.
mv "$clients" "$work/kept" && mkfifo "$clients"
kill -HUP "$pid"
await_log "Keeping the client certificates as they were: $clients: $clients is not a regular file"
rm "$clients" && mv "$work/kept" "$clients"
printf '%s\n' "$printed" >"$clients"
kill -HUP "$pid"
await_log "Re-read $clients: 1 client certificates"
grep -qF "Re-read the server certificate $pki/server-192.0.2.7.pem" "$log" || fail "reload: $(cat "$log")"
kill -0 "$pid" 2>/dev/null || fail "vexa-rpcscd ended on SIGHUP"
kill -TERM "$pid"
wait "$pid" || fail "vexa-rpcscd ended with status $? on SIGTERM"

# A plain server has nothing to re-read, and lives on through a reload.
"$rpcscd" --listen=127.0.0.1 --port=0 2>"$log" &
pid=$!
await_log "Listening on"
kill -HUP "$pid"
await_log "Nothing to re-read: this server serves plain TCP"
kill -TERM "$pid"
wait "$pid" || fail "the plain vexa-rpcscd ended with status $? on SIGTERM"

# --- A thread that cannot start ---
# As a user id that runs nothing else, limited to 3 tasks: the server and
# two connection threads. The third connection is refused; the server serves
# on, and once a thread has ended, serves again.
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP the thread limit: setting another user's process limit needs root"
    echo "PASS"
    exit 0
fi
uid=64999
! pgrep -u "$uid" >/dev/null || fail "user id $uid runs processes already"
: >"$log"
prlimit --nproc=3:3 setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    "$rpcscd" --listen=127.0.0.1 --port=0 2>"$log" &
pid=$!
await_log "Listening on"
port=$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$log")
exec 3<>"/dev/tcp/127.0.0.1/$port" 4<>"/dev/tcp/127.0.0.1/$port" 5<>"/dev/tcp/127.0.0.1/$port"
await_log ": cannot start a thread for it ("
kill -0 "$pid" 2>/dev/null || fail "vexa-rpcscd ended when a thread could not start: $(cat "$log")"
# The answer to an unknown operation, on a connection that has its thread.
asks() { # FD
    printf '0100080200010103000163\n' >&"$1" && IFS= read -r -t 5 answer <&"$1" && [[ $answer == 0100080200010103000163* ]]
}
asks 3 || fail "a connection with its thread is not served: $(cat "$log")"
exec 3>&- 5>&-
served=
for _ in $(seq 50); do
    exec 6<>"/dev/tcp/127.0.0.1/$port"
    if asks 6; then served=yes; break; fi
    exec 6>&-
    sleep 0.1
done
[[ -n $served ]] || fail "no connection served once a thread ended: $(cat "$log")"
exec 4>&- 6>&-
kill -TERM "$pid"
wait "$pid" || fail "vexa-rpcscd ended with status $? on SIGTERM after a thread failed"
echo "PASS"
