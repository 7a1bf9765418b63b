#!/usr/bin/env bash
# Runs the `$ ` examples of the README's ne2k sections, as written, from a
# scratch folder that sees the checkout's tools/ (for tools/sample.pcap),
# with the ne2k of a build first on the PATH, and compares what each prints
# with the lines shown under it. A shown line "  ..." stands for any number
# of lines; the host speed line is timing and is compared up to its figures.
#
#   bash scripts/readme_examples.sh [NE2K]        (default build/tools/ne2k)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
ne2k=$(realpath "${1:-build/tools/ne2k}")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
ln -s "$ne2k" "$tmp/bin/ne2k"
ln -s "$root/tools" "$tmp/tools"
cd "$tmp"
PATH="$tmp/bin:$PATH" python3 - "$root/README.md" <<'PY'
import re, subprocess, sys
text = open(sys.argv[1]).read()
section = text[text.index("## The ne2k command"):text.index("## Layout")]
examples = []
for block in re.findall(r"```\n(.*?)```", section, re.S):
    for part in re.split(r"^\$ ", block, flags=re.M)[1:]:
        lines = part.rstrip("\n").split("\n")
        examples.append((lines[0], lines[1:]))

def matches(want, got):
    if "host speed" in want:
        return got.split("host speed")[0] == want.split("host speed")[0]
    return want == got

failed = 0
for command, want in examples:
    run = subprocess.run(["bash", "-c", command], capture_output=True, text=True)
    got = run.stdout.rstrip("\n").split("\n")
    i = 0
    ok = run.returncode == 0
    for w in want:
        if w.strip() == "...":
            continue
        skip = want.index(w) > 0 and want[want.index(w) - 1].strip() == "..."
        while skip and i < len(got) and not matches(w, got[i]):
            i += 1
        if i >= len(got) or not matches(w, got[i]):
            ok = False
            print(f"readme_examples: '{command}': expected\n  {w}\ngot\n  {got[i] if i < len(got) else '(end)'}")
            break
        i += 1
    if not ok:
        failed += 1
        print(f"readme_examples: FAILED (exit {run.returncode}): {command}\n{run.stderr}")
print(f"readme_examples: {len(examples) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
PY
