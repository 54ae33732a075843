#!/usr/bin/env python3
"""The Windows build under Wine next to the Linux build, on the same test bed.

  (a) SendToCard through `vexa shell` over REMOTE_PCSC to the test bed's
      vexa-rpcscd: the Linux build, then the Windows build under Wine; the
      median of the rounds' means per call, and their ratio.
  (b) vexa-host: start (spawn -> "ready" after the hello) and peak memory
      (VmHWM of the host process after the calls), Linux and Wine.

  VEXA_TESTBED_DIR=... python3 bench/windows_bench.py LINUX_BUILD WINDOWS_BUILD [--calls N] [--rounds R] [--starts S]

Wine runs in a prefix of its own, removed afterwards. Nothing here is a test:
it prints figures, and the goals are the reader's.
"""
import argparse, json, os, shutil, statistics, struct, subprocess, sys, tempfile, time

ORIGIN = "chrome-extension://ejpoldihbajpknecbmkdaonplkmppacm/"
COMMAND = "80 EE 00 00 04 01 02 03 04"


def configure(config_home, server):
    os.makedirs(os.path.join(config_home, "MERIDAN"), exist_ok=True)
    with open(os.path.join(config_home, "MERIDAN", "vexa_ie.conf"), "w") as f:
        f.write(f"LOGLEVEL=OFF\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER={server}\n")


class Shell:
    def __init__(self, command, env, cwd):
        self.proc = subprocess.Popen(command + ["shell", "--url", "https://bench.example/", "--answer", "yes"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=cwd, text=True)

    def call(self, method, *args):
        self.proc.stdin.write(json.dumps({"id": 1, "method": method, "args": list(args)}) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"the shell ended at {method}")
        answer = json.loads(line)
        if "result" not in answer:
            sys.exit(f"{method}: {answer}")
        return answer["result"]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def send_to_card(shells, server, calls, rounds):
    for shell in shells.values():
        if shell.call("Open", "bench") != 0 or shell.call("ConnectCard", f"{server}:Virtual PCD 00 00", 2) != 0:
            sys.exit("cannot connect the test bed's first card over REMOTE_PCSC")
    means = {name: [] for name in shells}
    for _ in range(rounds):
        for name, shell in shells.items():  # interleaved, so drift hits both alike
            started = time.perf_counter()
            for _ in range(calls):
                if shell.call("SendToCard", COMMAND).lower() != "01 02 03 04 90 00":
                    sys.exit(f"{name}: wrong answer")
            means[name].append((time.perf_counter() - started) / calls * 1e6)
    return {name: statistics.median(values) for name, values in means.items()}


def host_figures(command, env, starts, calls):
    start_ms, peak_kib = [], 0
    for i in range(starts):
        began = time.perf_counter()
        proc = subprocess.Popen(command + [ORIGIN], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=env)

        def send(message):
            body = json.dumps(message).encode()
            proc.stdin.write(struct.pack("=I", len(body)) + body)
            proc.stdin.flush()

        def receive():
            (length,) = struct.unpack("=I", proc.stdout.read(4))
            return json.loads(proc.stdout.read(length))

        send({"hello": {"url": "https://bench.example/", "browser": "bench"}})
        if "ready" not in receive():
            sys.exit("the host did not answer the hello")
        start_ms.append((time.perf_counter() - began) * 1000)
        if i == starts - 1:
            for cid in range(calls):
                send({"id": cid, "method": "Hex2Str", "args": ["41 42 43"]})
                receive()
            with open(f"/proc/{proc.pid}/status") as f:
                peak_kib = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
        proc.stdin.close()
        proc.wait(30)
    return statistics.median(start_ms), peak_kib


def main():
    # --help ends with status 2 like a mistake does: a bench measures only
    # on a line it understood (argparse gives 2 for a mistake).
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], add_help=False)
    parser.add_argument("--help", "-h", action="store_true", help="show this help and end with status 2")
    parser.add_argument("linux_build")
    parser.add_argument("windows_build")
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--starts", type=int, default=10)
    if "--help" in sys.argv[1:] or "-h" in sys.argv[1:]:
        parser.print_help()
        sys.exit(2)
    a = parser.parse_args()
    bed = os.environ.get("VEXA_TESTBED_DIR")
    if not bed or not os.path.exists(os.path.join(bed, "rpcscd.address")):
        sys.exit("VEXA_TESTBED_DIR names no running test bed (testbed/start_testbed.sh)")
    server = open(os.path.join(bed, "rpcscd.address")).read().strip()
    linux, windows = os.path.abspath(a.linux_build), os.path.abspath(a.windows_build)

    work = tempfile.mkdtemp(prefix="vexa-winbench-")
    try:
        env = dict(os.environ, HOME=f"{work}/home", XDG_CONFIG_HOME=f"{work}/home/.config",
                   WINEPREFIX=f"{work}/wine", WINEDEBUG="-all")
        for name in ("APPDATA", "USERPROFILE", "windir"):
            env.pop(name, None)
        subprocess.run(["wineboot", "-i"], env=env, check=True, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=env, check=True)
        appdata = subprocess.run(["wine", "cmd", "/c", "echo %APPDATA%"], env=env, capture_output=True,
                                 text=True).stdout.strip()
        appdata = subprocess.run(["winepath", "-u", appdata], env=env, capture_output=True, text=True).stdout.strip()
        configure(env["XDG_CONFIG_HOME"], server)
        configure(appdata, server)
        os.makedirs(f"{work}/cwd")

        shells = {"Linux vexa": Shell([f"{linux}/tools/vexa"], env, f"{work}/cwd"),
                  "Wine vexa.exe": Shell(["wine", f"{windows}/tools/vexa.exe"], env, f"{work}/cwd")}
        per_call = send_to_card(shells, server, a.calls, a.rounds)
        for shell in shells.values():
            shell.close()
        hosts = {"Linux vexa-host": host_figures([f"{linux}/host/vexa-host"], env, a.starts, 100),
                 "Wine vexa-host.exe": host_figures(["wine", f"{windows}/host/vexa-host.exe"], env, a.starts, 100)}
    finally:
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=f"{work}/wine"), capture_output=True)
        shutil.rmtree(work, ignore_errors=True)

    print(f"SendToCard over REMOTE_PCSC to {server}: {a.calls} calls x {a.rounds} rounds, median of round means")
    for name, us in per_call.items():
        print(f"  {name:<16} {us:8.1f} us per call")
    print(f"  ratio Wine / Linux  {per_call['Wine vexa.exe'] / per_call['Linux vexa']:.2f}")
    print(f"vexa-host: start (spawn -> ready), median of {a.starts}; peak memory (VmHWM) after 100 calls")
    for name, (ms, kib) in hosts.items():
        print(f"  {name:<20} {ms:7.1f} ms   {kib / 1024:6.2f} MiB")


if __name__ == "__main__":
    main()
