#!/usr/bin/env bash
# The committed reference against the tables the build made from the host's
# own (<build>/docs, by vexa_page_api): docs/page-api.md's method table but for
# its last column, "Last error", which is the reference's own, and
# docs/vexa.d.ts's interfaces VexaMethods and VexaEventArguments. A mismatch
# shows as a diff to apply to the committed file.
set -euo pipefail
vexa=${1:?usage: page_api_docs_test.sh <path-to-vexa>}
build=$(cd "$(dirname "$vexa")/.." && pwd)
source_root=$(cd "$(dirname "$0")/../.." && pwd)

python3 - "$source_root/docs" "$build/docs" <<'PY'
import difflib, pathlib, re, sys

docs, made = map(pathlib.Path, sys.argv[1:])
failed = False

def compare(what, committed, generated):
    global failed
    if committed != generated:
        failed = True
        print(f"FAIL: {what} is not what the build made (- committed, + made):")
        sys.stdout.writelines(difflib.unified_diff(committed, generated))

def made_lines(name):
    return (made / name).read_text().splitlines(keepends=True)

# The rows below the header "| # | Method | ...", without their last cell.
lines = (docs / "page-api.md").read_text().splitlines()
header = next((i for i, line in enumerate(lines) if line.startswith("| # | Method |")), len(lines))
rows = []
for line in lines[header + 2:]:
    if not line.startswith("|"):
        break
    rows.append(re.sub(r" [^|]*\|$", "", line) + "\n")
compare("docs/page-api.md's method table", rows, made_lines("page-api-methods.md"))

# Each interface from its opening line to the first line "}".
declarations = (docs / "vexa.d.ts").read_text()
for name in ["vexa-methods.d.ts", "vexa-events.d.ts"]:
    generated = made_lines(name)
    start = declarations.find(generated[0])
    end = declarations.find("\n}\n", start)
    committed = declarations[start:end + 3] if start >= 0 and end >= 0 else ""
    compare(f"docs/vexa.d.ts's {generated[0].strip()}", committed.splitlines(keepends=True), generated)
sys.exit(1 if failed else 0)
PY
