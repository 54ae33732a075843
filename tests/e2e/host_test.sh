#!/usr/bin/env bash
# Speaks native messages to the real `vexa-host` as a browser would: the
# hello, plain calls, Open's site question with calls held back until the
# answer (at most 64 calls or 8 MiB of them), a log read too long for one
# message coming back in chunks, a malformed body, and broken input that
# must end the host cleanly.
#
# VEXA_HOST_RUNNER runs the host through another program (the Windows host:
# "wine"); VEXA_HOST_CONFIG_HOME is then the folder that host takes as its
# config home (Wine's APPDATA), else XDG_CONFIG_HOME.
set -euo pipefail
vexa=${1:?usage: host_test.sh <path-to-vexa>}
host=${VEXA_HOST_PROGRAM:?ctest sets it to the vexa-host of the build}
[[ -f "$host" ]] || { echo "FAIL: no vexa-host at $host"; exit 1; }
source "$(dirname "$0")/throwaway_user.sh"
read -r -a runner <<<"${VEXA_HOST_RUNNER:-}"
export VEXA_HOST_CONFIG_HOME=${VEXA_HOST_CONFIG_HOME:-$XDG_CONFIG_HOME}
mkdir -p "$VEXA_HOST_CONFIG_HOME/MERIDAN"
rm -f "$VEXA_HOST_CONFIG_HOME/MERIDAN/vexa_ie.log"
# Logging on, so that SetMode calls grow a log; it lands beside the configuration.
printf 'LOGLEVEL=DEBUG\n' > "$VEXA_HOST_CONFIG_HOME/MERIDAN/vexa_ie.conf"

# Anything but a browser's launch or a registration command: usage, status 2.
for args in "" "bogus" "chrome-extension://abc/ stray" "register --bogus"; do
    status=0
    # shellcheck disable=SC2086
    "${runner[@]}" "$host" $args >"$work/usage.out" 2>"$work/usage.err" </dev/null || status=$?
    [[ $status -eq 2 && ! -s "$work/usage.out" && -s "$work/usage.err" ]] ||
        { echo "FAIL: vexa-host $args: status $status, usage not on stderr alone"; exit 1; }
done

python3 - "${runner[@]}" "$host" <<'PY'
import json, os, select, struct, subprocess, sys

HOST = sys.argv[1:]
CONFIG = os.environ["VEXA_HOST_CONFIG_HOME"]
ORIGIN = "chrome-extension://ejpoldihbajpknecbmkdaonplkmppacm/"
PATIENCE = 30  # seconds; only a hang comes near it
LIMIT = 1024 * 1024

def fail(text):
    print("FAIL:", text)
    sys.exit(1)

class Host:
    def __init__(self, *args):
        self.proc = subprocess.Popen([*HOST, *(args or (ORIGIN, "--parent-window=0"))], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        body = message if isinstance(message, bytes) else json.dumps(message).encode()
        self.raw(struct.pack("=I", len(body)) + body)

    def read_exactly(self, n):
        data = b""
        fd = self.proc.stdout.fileno()
        while len(data) < n:
            ready, _, _ = select.select([fd], [], [], PATIENCE)
            if not ready:
                fail(f"no message within {PATIENCE} s")
            piece = os.read(fd, n - len(data))
            if not piece:
                fail(f"the host ended its output (after {len(data)} of {n} bytes)")
            data += piece
        return data

    def receive(self):
        (length,) = struct.unpack("=I", self.read_exactly(4))
        if length > LIMIT:
            fail(f"a message of {length} bytes is over the browser's limit")
        return json.loads(self.read_exactly(length))

    def expect(self, wanted, what):
        got = self.receive()
        if got != wanted:
            fail(f"{what}: expected {wanted}, got {got}")

    def call(self, cid, method, *args):
        self.send({"id": cid, "method": method, "args": list(args)})

    def close(self):
        """Ends the input and waits for the host; its exit status and stderr."""
        self.proc.stdin.close()
        try:
            status = self.proc.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("the host did not end after its input ended")
        rest = self.proc.stdout.read()
        if rest:
            fail(f"unexpected output after the last message: {rest[:200]!r}")
        return status, self.proc.stderr.read().decode(errors="replace")

    def hello(self, url="https://bank.example/app/index.html"):
        self.send({"hello": {"url": url, "browser": "Chromium 120.0.6099.224"}})
        self.expect({"ready": {"version": "2.0.0.2"}}, "ready")

def question(site):
    return {"question": {"caption": "Frage", "text": f"Darf von {site} auf Chipkartenleser zugegriffen werden?"}}

QUESTION = question("https://bank.example/app")

# A whole session: hello, calls, the question with a call held back, a log
# read in chunks, a malformed body.
h = Host()
h.call(1, "GetVersion", 0)
h.expect({"id": 1, "error": "the connection must be opened by a hello first"}, "call before the hello")
h.hello()
h.send({"hello": {"url": "https://other.example/", "browser": "x"}})
h.expect({"id": None, "error": "the connection has already been opened by a hello"}, "second hello")
h.call(2, "GetVersion", 0)
h.expect({"id": 2, "result": "2.0.0.2"}, "GetVersion")
h.call(3, "Open", "page")
h.expect(QUESTION, "site question")
h.call(4, "GetVersion", 1)  # must wait for the answer
h.send({"answer": "ok"})
h.expect({"id": 3, "result": 0}, "Open after OK")
h.expect({"id": 4, "result": "2"}, "call held back by the question")

# Each SetMode logs its value, its control characters escaped (a record
# stays below 64 KiB); 24 of them make a log well over 1 MiB.
value = "\x01" * 2000 + "x" * 50000
logged = "\\x01" * 2000 + "x" * 50000
for cid in range(10, 34):
    h.call(cid, "SetMode", "PREFERRED_READER", value)
    h.expect({"id": cid, "result": 0}, "SetMode")
h.call(40, "ReadLogFile", 0)
parts = []
while True:
    chunk = h.receive()
    if set(chunk) != {"id", "chunk", "of", "part"} or chunk["id"] != 40 or chunk["chunk"] != len(parts):
        fail(f"not the next chunk of answer 40: {str(chunk)[:200]}")
    parts.append(chunk["part"])
    if len(parts) == chunk["of"]:
        break
log = "".join(parts)
with open(os.path.join(CONFIG, "MERIDAN", "vexa_ie.log"), encoding="latin-1") as f:
    on_disk = f.read()
if len(parts) < 2 or len(log) <= LIMIT or not on_disk.startswith(log) or log.count(logged) != 24:
    fail(f"{len(parts)} chunks joined to {len(log)} characters, not the log of {len(on_disk)}")

h.send(b"{not json")
h.expect({"id": None, "error": "the call is not valid JSON"}, "malformed body")
# Refused as a whole, a call still gets its id back when it comes first.
h.send(b'{"id": 22, "method": "Hex2Str", "args": ["\\ud800"]}')
h.expect({"id": 22, "error": "the call is not valid JSON"}, "a lone surrogate")
h.call(23, "Str2Hex", "x" * (1 << 20))
h.expect({"id": 23, "error": "the call is longer than 1048576 bytes"}, "a call over 1 MiB")
h.send({"answer": "ok"})
h.expect({"id": None, "error": "no question is waiting for an answer"}, "answer without a question")
h.call(21, "GetLastErrorCode")
h.expect({"id": 21, "result": 0}, "still serving after bad messages")
status, err = h.close()
if status != 0:
    fail(f"clean end: exit status {status}: {err}")

# Cancel refuses the page (OK above stored only bank.example); Firefox's
# way of starting the host.
h = Host(os.path.join(os.environ["HOME"], ".mozilla/native-messaging-hosts", os.environ["VEXA_HOST_NAME"] + ".json"),
         "vexa@meridan.example")
h.hello("https://shop.example/x/page.html")
h.call(1, "Open", "page")
h.expect(question("https://shop.example/x"), "question")
h.send({"answer": "maybe"})
h.expect({"id": None, "error": "the answer must be \"ok\" or \"cancel\""}, "bad answer")
h.send({"answer": "cancel"})
h.expect({"id": 1, "result": 992211}, "Open after Cancel")
h.call(2, "ReadLogFile", 0)
h.expect({"id": 2, "result": ""}, "guarded call after Cancel")
if h.close()[0] != 0:
    fail("exit status after Cancel")

# The end of input during the question counts as Cancel; the host still
# answers and ends cleanly.
h = Host()
h.hello("https://shop.example/x/page.html")
h.call(1, "Open", "page")
h.expect(question("https://shop.example/x"), "question")
h.call(2, "GetVersion", 0)
h.proc.stdin.close()
h.expect({"id": 1, "result": 992211}, "Open at end of input")
h.expect({"id": 2, "result": "2.0.0.2"}, "call queued before the end")
if h.proc.wait(PATIENCE) != 0:
    fail("exit status after the end of input during the question")

# While the question is open at most 64 calls or 8 MiB wait for it; later
# calls are refused at once with their id, and the answer still arrives.
FULL = "too many calls are waiting for the site question"
h = Host()
h.hello("https://queue.example/x/page.html")
h.call(1, "Open", "page")
h.expect(question("https://queue.example/x"), "question")
big = "41" * 499_950  # a call of about 1 MB; eight of them fit in 8 MiB
for cid in range(100, 109):
    h.call(cid, "Hex2Str", big)
h.expect({"id": 108, "error": FULL}, "the call past 8 MiB")
for cid in range(200, 260):
    h.call(cid, "GetVersion", 0)
for cid in range(256, 260):
    h.expect({"id": cid, "error": FULL}, "a call past 64")
h.send({"answer": "ok"})
h.expect({"id": 1, "result": 0}, "Open after OK with a full queue")
for cid in range(100, 108):
    got = h.receive()
    if got != {"id": cid, "result": "A" * 499_950}:
        fail(f"waiting call {cid}: {str(got)[:200]}")
for cid in range(200, 256):
    h.expect({"id": cid, "result": "2.0.0.2"}, "a waiting call")
h.call(300, "GetVersion", 0)
h.expect({"id": 300, "result": "2.0.0.2"}, "calls after the question are not limited")
if h.close()[0] != 0:
    fail("exit status after a full queue")

# Calls that arrive in one piece with Open, before the question, count
# against the same bound.
h = Host()
h.hello("https://burst.example/x/page.html")
frame = lambda m: (lambda b: struct.pack("=I", len(b)) + b)(json.dumps(m).encode())
h.raw(frame({"id": 1, "method": "Open", "args": ["page"]}) +
      b"".join(frame({"id": cid, "method": "GetVersion", "args": [0]}) for cid in range(400, 500)))
h.expect(question("https://burst.example/x"), "question after a burst")
for cid in range(464, 500):
    h.expect({"id": cid, "error": FULL}, "a call of the burst past 64")
h.send({"answer": "cancel"})
h.expect({"id": 1, "result": 992211}, "Open after Cancel with a burst")
for cid in range(400, 464):
    h.expect({"id": cid, "result": "2.0.0.2"}, "a waiting call of the burst")
if h.close()[0] != 0:
    fail("exit status after a burst")

# A message cut off by the end of input ends the host, cleanly and logged.
h = Host()
h.hello()
h.raw(struct.pack("=I", 100) + b"0123456789")
status, err = h.close()
if status not in (0, 1) or "the input ended inside a message (10 of 100 bytes)" not in err:
    fail(f"truncated body: status {status}, stderr {err!r}")
with open(os.path.join(CONFIG, "MERIDAN", "vexa_ie.log"), encoding="latin-1") as f:
    if "the input ended inside a message (10 of 100 bytes); the connection ends" not in f.read():
        fail("the cut-off message is not in the log")

h = Host()
h.raw(b"\x05\x00")
status, err = h.close()
if status not in (0, 1) or "inside a message's length (2 of 4 bytes)" not in err:
    fail(f"truncated length: status {status}, stderr {err!r}")

# A length over the host's bound is refused before anything is read for it.
h = Host()
h.hello()
h.raw(struct.pack("=I", 100 * 1024 * 1024) + b"{}")
h.expect({"id": None, "error": "the message is 104857600 bytes long; at most 67108864 bytes are accepted"},
         "over-long message")
status, err = h.close()
if status not in (0, 1):
    fail(f"over-long message: status {status}, stderr {err!r}")
PY
echo "host_test passed"
