#!/usr/bin/env bash
# Drives a whole session through the real `vexa shell`: plain calls with exact
# answers, then a stream of malformed lines, after which the shell must still
# answer correctly and end cleanly at end of input.
set -euo pipefail
vexa=${1:?usage: shell_test.sh <path-to-vexa>}
source "$(dirname "$0")/throwaway_user.sh"

# Usage goes to stderr with exit status 2, and nothing to stdout.
for args in "" "bogus" "shell extra"; do
    status=0
    # shellcheck disable=SC2086
    "$vexa" $args >"$work/usage.out" 2>"$work/usage.err" </dev/null || status=$?
    [[ $status -eq 2 ]] || { echo "vexa $args exited $status, expected 2"; exit 1; }
    [[ ! -s "$work/usage.out" && -s "$work/usage.err" ]] || { echo "vexa $args: usage not on stderr only"; exit 1; }
done

python3 - "$vexa" <<'PY'
import json, subprocess, sys

vexa = sys.argv[1]
MAX = 1024 * 1024
calls = []      # (line bytes, check) in order; check None for a skipped line

def call(cid, method, args=None):
    c = {"id": cid, "method": method}
    if args is not None:
        c["args"] = args
    return json.dumps(c, ensure_ascii=False).encode()

def result(line, cid, value):
    calls.append((line, lambda a: a == {"id": cid, "result": value}))

def error(line, cid=None, text=None):
    calls.append((line, lambda a: set(a) == {"id", "error"} and a["id"] == cid and isinstance(a["error"], str)
                  and a["error"] != "" and (text is None or a["error"] == text)))

def contains(line, cid, part):
    calls.append((line, lambda a: a.get("id") == cid and part in a.get("result", "")))

result(call(1, "GetVersion", [0]), 1, "2.0.0.2")
result(call(2, "GetVersion", [4]), 2, "2")
result(call(3, "GetVersion", [5]), 3, "")
result(call(4, "GetLastErrorCode", []), 4, 992201)
result(call(5, "Hex2Str", ["41 42 43"]), 5, "ABC")
result(call(6, "Hex2Str", ["GG"]), 6, "")
result(call(7, "GetLastErrorCode"), 7, 992200)
result(call(8, "Str2Hex", ["A"]), 8, "41 ")
contains(call(9, "GetErrorText", [992209]), 9, "&Uuml;")
result(call(10, "GetErrorText", [-1]), 10, "Interner Fehler")
result(call(11, "ReadLogFile", [0]), 11, "")
result(call(12, "GetLastErrorCode", []), 12, 992211)
result(call("ä", "Hex2Str", ["e4 80 41 00 42"]), "ä", "ä€A")
calls.append((b"", None))
calls.append((b"  \t\r", None))

# Malformed lines, none of which may change the last error (992211).
error(b"hello")
error(b"\x00\x01\xff\xfe{\x80}")
error(b"{\"id\":1,\"method\":\"Str2Hex\",\"args\":[\"\xc3\"]}", 1, "the call is not valid JSON")
error(b"[" * 200000 + b"]" * 200000)
error(b"{\"id\":" + b"[" * 200000)
error(b"[1,2,3]")
error(b'{"id":20,"method":"GetVersion","args":[2147483648]}', 20, "argument 1 of GetVersion is outside the signed 32-bit range")
# Numbers beyond a double's range do not parse at all; an id before them
# still names the call.
error(b'{"id":21,"method":"GetVersion","args":[' + b"9" * 5000 + b"]}", 21, "the call is not valid JSON")
error(b'{"id":22,"method":"GetVersion","args":[1e999]}', 22, "the call is not valid JSON")
error(b'{"id":"22a","method":"GetVersion","args":[-1e300]}', "22a", "argument 1 of GetVersion is outside the signed 32-bit range")
error(b'{"id":23,"method":"GetVersion","args":[1.5]}', 23, "argument 1 of GetVersion must be an integer")
error(b'{"id":24,"method":"GetVersion","args":[0,1]}', 24, "GetVersion expects 1 argument, got 2")
error(b'{"id":25,"method":"getversion","args":[0]}', 25, 'unknown method "getversion"')
# Request operations need Open like the card operations.
result(b'{"id":26,"method":"DecodeRequest","args":["x"]}', 26, "")
over = b'{"id":27,"method":"Str2Hex","args":["' + b"A" * MAX + b'"]}'
error(over, 27, "the call is longer than 1048576 bytes")
result(call(28, "GetLastErrorCode"), 28, 992211)

# The longest accepted call, exactly at the bound.
head = b'{"id":29,"method":"Hex2Str","args":["41"]}'
result(head + b" " * (MAX - len(head)), 29, "A")
result(call(30, "GetErrorText", [2147483647]), 30, "")
result(call(31, "GetVersion", [-2147483648]), 31, "")
# The last line needs no line end.
last = call(32, "GetVersion", [1])

stdin = b"\n".join(line for line, _ in calls) + b"\n" + last
calls.append((last, lambda a: a == {"id": 32, "result": "2"}))
run = subprocess.run([vexa, "shell"], input=stdin, capture_output=True, timeout=120)
failed = False
if run.returncode != 0:
    print(f"vexa shell exited {run.returncode}; stderr: {run.stderr[:500]!r}")
    failed = True
answers = run.stdout.decode("utf-8").split("\n")
if answers[-1] != "":
    print("the last answer has no line end")
    failed = True
answers = answers[:-1]
checks = [(line, check) for line, check in calls if check is not None]
if len(answers) != len(checks):
    print(f"{len(answers)} answers for {len(checks)} calls")
    failed = True
for (line, check), answer in zip(checks, answers):
    try:
        ok = check(json.loads(answer))
    except ValueError:
        ok = False
    if not ok:
        print(f"call {line[:80]!r}\n  got {answer[:200]!r}")
        failed = True
sys.exit(1 if failed else 0)
PY
echo "shell_test: ok"
