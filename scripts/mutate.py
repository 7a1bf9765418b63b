#!/usr/bin/env python3
"""Mutation testing of the driver folders: how many planted faults the tests catch.

Usage:
  python3 scripts/mutate.py --list [--sample N --seed S]   # enumerate, run nothing
  python3 scripts/mutate.py --sample 50 --seed 1 --report mut.json
  python3 scripts/mutate.py --survivors mut.json --with-explorer --report again.json

One mutant is one small change in a .cpp or .h file of miniport/driver/ card/
receive/ transmit/ request/ (code only: comments, preprocessor lines, string and character
literals and static_assert statements are left alone, except the values of
#define lines, whose integer literals take the constant operator). Operators:
  comparison  < <= > >= == != to the boundary neighbour or the negation
  constant    an integer literal n to n+1 and n-1 (decimal or hex, style kept), also
              in a #define's value (wait bounds, stalls, sizes are macros)
  logical     && <-> ||
  call        a statement that is only a function call, removed (replaced by {})
  return      return TRUE <-> FALSE; return X -> return !(X) in a BOOLEAN function
              or when X is a comparison or a negation
  arithmetic  binary + <-> -, += <-> -=
  bitwise     binary | <-> &, |= <-> &=
Mutants are enumerated in (file, line, column, operator) order; --sample N --seed S
draws N of them with random.Random(S), so the same sources and seed give the same set.
A mutant in a header that many files include rebuilds most of the tree; with ccache
on the PATH the rebuild after restoring it comes from the cache.

The checkout's tracked files are copied to a scratch directory (--workdir; by default
one under /tmp named after the checkout, kept and reused by later runs), configured
and built once; the unmutated suite must pass there. The copy is built with -Og and
-fno-finite-loops, not the optimized build: an optimizer may delete a loop that a
mutant made endless and free of side effects (C++ lets it assume such a loop ends),
and the mutant would survive a suite that a build without that optimization hangs
on; and each test runs under a watchdog of 60 s (600 with --with-explorer), so such a
mutant fails the test it hangs within a minute. Per mutant: write the file, cmake --build (incremental), ctest
(fail fast, the long explorations, ctest label long, left out unless --with-explorer),
restore the file. Outcomes: killed (a test failed, or the
run took longer than --timeout: a "timeout", counted as killed), survived, invalid
(did not build; not counted in the score).
"""
import argparse, bisect, fcntl, hashlib, json, os, random, re, shutil, signal, subprocess, sys, tempfile, time

FOLDERS = tuple("miniport/" + d for d in ("driver", "card", "receive", "transmit", "request"))
# Built without the optimizations that delete endless loops free of side effects.
BUILD_FLAGS = "-Og -g -fno-finite-loops"
# Seconds a single test may run before its watchdog ends it (tests/support/watchdog.cpp):
# a mutant that makes a loop endless is caught by the test it hangs, in a minute (the
# long explorations, with --with-explorer, get ten).
TEST_WATCHDOG = {"seconds": "60"}
JOBS = "-j2"
KEYWORDS = {"return", "sizeof", "if", "else", "while", "for", "do", "switch", "case", "default",
            "goto", "break", "continue", "static_assert", "new", "delete", "throw", "alignof",
            "decltype", "typedef", "struct", "enum", "union", "static", "const"}

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<pp>\#(?:\\\n|[^\n])*)
  | (?P<str>(?:u8|[uUL])?(?:"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*'))
  | (?P<num>\.?\d(?:[eEpP][+-]|[\w.]|'(?=\w))*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<op>->|<<=|>>=|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||::|[-+*/%&|^]=|.)
""", re.S | re.X)

SWAPS = {
    "comparison": {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
                   "==": ["!="], "!=": ["=="]},
    "logical": {"&&": ["||"], "||": ["&&"]},
    "arithmetic": {"+": ["-"], "-": ["+"], "+=": ["-="], "-=": ["+="]},
    "bitwise": {"|": ["&"], "&": ["|"], "|=": ["&="], "&=": ["|="]},
}
BINARY_ONLY = {"+", "-", "|", "&"}
COMPARES = {"<", "<=", ">", ">=", "==", "!=", "&&", "||"}


class Tok:
    def __init__(self, kind, text, start, end):
        self.kind, self.text, self.start, self.end = kind, text, start, end


def tokenize(text):
    toks = []
    for m in TOKEN.finditer(text):
        if m.lastgroup not in ("space", "comment", "pp"):
            toks.append(Tok(m.lastgroup, m.group(), m.start(), m.end()))
    return toks


def off_by_one(literal):
    """The literal's value plus and minus one, written the same way."""
    m = re.fullmatch(r"(0[xX])([0-9A-Fa-f]+)([uUlL]*)", literal)
    if m:
        value, digits = int(m[2], 16), m[2]
        form = "x" if any(c in "abcdef" for c in digits) else "X"
        write = lambda v: m[1] + format(v, form).rjust(len(digits), "0") + m[3]
    else:
        m = re.fullmatch(r"(0|[1-9]\d*)([uUlL]*)", literal)
        if not m:
            return []  # octal, floating, digit separators: left alone
        value = int(m[1])
        write = lambda v: str(v) + m[2]
    return [write(v) for v in (value + 1, value - 1) if v >= 0]


def mutants_in(path, text):
    toks = tokenize(text)
    match, paren, brace, stack, frozen = {}, [], [], [], set()
    depth_p = depth_b = 0
    for i, t in enumerate(toks):
        if t.text in ")]}" and stack:
            match[i] = stack.pop()
            match[match[i]] = i
            depth_p -= t.text == ")"
            depth_b -= t.text == "}"
        paren.append(depth_p)
        brace.append(depth_b)
        if t.text in "([{" and t.kind == "op":
            stack.append(i)
            depth_p += t.text == "("
            depth_b += t.text == "{"
    # static_assert statements are never mutated.
    for i, t in enumerate(toks):
        if t.text == "static_assert":
            j = i
            while j < len(toks) and not (toks[j].text == ";" and paren[j] == paren[i]):
                frozen.add(j)
                j += 1
    # Bodies of functions that return BOOLEAN or bool.
    bool_bodies, boundary, i = [], 0, 0
    while i < len(toks):
        t = toks[i].text
        if t == "{" and i in match:
            sig = [x.text for x in toks[boundary:i]]
            if "(" in sig and sig[-1] == ")":  # a function body: skip it
                if {"BOOLEAN", "bool"} & set(sig[:sig.index("(")]):
                    bool_bodies.append((i, match[i]))
                i = match[i]
            boundary = i + 1
        elif t in (";", "}"):
            boundary = i + 1
        i += 1
    in_bool = lambda i: any(a < i < b for a, b in bool_bodies)

    def binary(i):  # is the operator at i binary (not unary, not after a cast)?
        p = toks[i - 1]
        if p.kind == "num" or p.text == "]":
            return True
        if p.kind == "id":
            return p.text not in KEYWORDS
        if p.text == ")" and i - 1 in match:
            o = match[i - 1]
            before = toks[o - 1] if o > 0 else None
            called = before is not None and (before.text in (")", "]") or before.kind == "id" and
                                             (before.text not in KEYWORDS or before.text == "sizeof"))
            typeish = all(t.kind == "id" or t.text in ("*", "::") for t in toks[o + 1:i - 1])
            return called or not typeish
        return False

    def statement_start(i):
        if i == 0 or paren[i] != 0 or brace[i] == 0:
            return False
        p = toks[i - 1].text
        if p in (";", "{", "}", "else", "do"):
            return True
        if p == ")" and i - 1 in match:
            o = match[i - 1]
            return o > 0 and toks[o - 1].text in ("if", "while", "for")
        if p == ":":  # after a case label, default: or a goto label, not a ?: branch
            j = i - 2
            while j >= 0 and toks[j].text not in (";", "{", "}"):
                j -= 1
            head = toks[j + 1:i - 1]
            return bool(head) and (head[0].text in ("case", "default") or
                                   len(head) == 1 and head[0].kind == "id")
        return False

    out = []
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def add(op, start, end, mutated):
        line = bisect.bisect_right(line_starts, start)
        out.append({"file": path, "line": line, "column": start - line_starts[line - 1] + 1,
                    "operator": op, "start": start, "end": end,
                    "original": " ".join(text[start:end].split()), "mutated": mutated})

    for i, t in enumerate(toks):
        if i in frozen:
            continue
        if t.kind == "op":
            for op, table in SWAPS.items():
                if t.text in table and (t.text not in BINARY_ONLY or binary(i)):
                    for new in table[t.text]:
                        add(op, t.start, t.end, new)
        elif t.kind == "num":
            for new in off_by_one(t.text):
                add("constant", t.start, t.end, new)
        elif t.text == "return":
            j = i + 1
            while j < len(toks) and not (toks[j].text == ";" and paren[j] == paren[i]):
                j += 1
            expr = toks[i + 1:j]
            if not expr or j == len(toks):
                continue
            words = [x.text for x in expr]
            flips = {"TRUE": "FALSE", "FALSE": "TRUE", "true": "false", "false": "true"}
            if len(words) == 1 and words[0] in flips:
                add("return", t.start, expr[-1].end, "return " + flips[words[0]])
            elif in_bool(i) or "?" not in words and (words[0] == "!" or any(
                    x.text in COMPARES and paren[i + 1 + k] == paren[i] for k, x in enumerate(expr))):
                body = text[expr[0].start:expr[-1].end]
                add("return", t.start, expr[-1].end, "return !(" + " ".join(body.split()) + ")")
        elif t.kind == "id" and t.text not in KEYWORDS and statement_start(i):
            j = i + 1
            while j + 1 < len(toks) and toks[j].text in (".", "->", "::") and toks[j + 1].kind == "id":
                j += 2
            if j < len(toks) and toks[j].text == "(" and j in match:
                k = match[j]
                if k + 1 < len(toks) and toks[k + 1].text == ";":
                    add("call", t.start, toks[k + 1].end, "{}")
    # Integer literals in the values of #define lines.
    for m in re.finditer(r"^[ \t]*#[ \t]*define[ \t]+\w+[ \t]+([^\n]*)$", text, re.M):
        code = m.group(1).split("//")[0]
        for n in re.finditer(r"(?<![\w.\"])(0[xX][0-9A-Fa-f]+[uUlL]*|\d+[uUlL]*)(?![\w.])", code):
            for new in off_by_one(n.group()):
                add("constant", m.start(1) + n.start(), m.start(1) + n.end(), new)
    return out


def enumerate_mutants(root):
    files = git_files(root)
    found = []
    for f in files:
        if os.path.dirname(f) in FOLDERS and f.endswith((".cpp", ".h")):
            with open(os.path.join(root, f), encoding="latin-1") as fh:
                found += mutants_in(f, fh.read())
    found.sort(key=lambda m: (m["file"], m["line"], m["column"], m["operator"], m["mutated"]))
    for n, m in enumerate(found):
        m["id"] = n
    return found


def git_files(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return sorted(f for f in out.split("\0") if f)


def key(m):
    return (m["file"], m["line"], m["column"], m["operator"], m["original"], m["mutated"])


def describe(m):
    return "%s:%d: %s: %s -> %s" % (m["file"], m["line"], m["operator"], m["original"], m["mutated"])


def sync_copy(root, work):
    """Copies the tracked files to work (only those that differ), drops strays."""
    tracked = [f for f in git_files(root) if os.path.isfile(os.path.join(root, f))]
    for f in tracked:
        src, dst = os.path.join(root, f), os.path.join(work, f)
        with open(src, "rb") as a:
            data = a.read()
        if os.path.exists(dst):
            with open(dst, "rb") as b:
                if b.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as b:
            b.write(data)
        shutil.copymode(src, dst)
    keep = set(tracked)
    for dirpath, dirs, names in os.walk(work):
        rel = os.path.relpath(dirpath, work)
        if rel == ".":
            dirs[:] = [d for d in dirs if d != "build"]
        for name in names:
            f = os.path.normpath(os.path.join(rel, name))
            if f not in keep and not f.startswith(".mutate"):
                os.remove(os.path.join(dirpath, name))


def run(cmd, cwd, timeout=None):
    """(returncode or None on timeout, output, seconds); a timeout kills the whole group."""
    began = time.monotonic()
    env = dict(os.environ, NE2K_TEST_WATCHDOG=TEST_WATCHDOG["seconds"])
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, errors="replace", start_new_session=True, env=env)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out, time.monotonic() - began
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out, time.monotonic() - began
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise


def failed_test(output):
    m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (.+?) \(", output)
    m = m or re.search(r"Test\s+#\d+: (\S+) \.*\**\s*(?:Failed|Exception|Timeout|Subprocess|SEGFAULT|Child)",
                       output)
    return m.group(1) if m else None


def write_report(path, args, total, results):
    if not path:
        return
    report = {"seed": args.seed, "sample": args.sample, "enumerated": total,
              "ctest": " ".join(ctest_command(args)), "build_flags": BUILD_FLAGS, "timeout": args.timeout,
              "summary": summary(results), "mutants": results}
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(report, f, indent=1)
    os.replace(tmp, path)


def summary(results):
    count = lambda o: sum(r["outcome"] == o for r in results)
    timeouts = count("timeout")
    killed, survived = count("killed") + timeouts, count("survived")
    score = "%d/%d = %s" % (killed, killed + survived,
                            "%.1f%%" % (100.0 * killed / (killed + survived)) if killed + survived else "n/a")
    return "mutants %d: killed %d, survived %d, invalid %d, timeouts %d, score %s" % (
        len(results), killed, survived, count("invalid"), timeouts, score)


def ctest_command(args):
    cmd = ["ctest", "--test-dir", "build", JOBS, "--stop-on-failure", "--no-tests=error"]
    if not args.with_explorer:
        cmd += ["-LE", "long"]
    if args.exclude:
        cmd += ["-E", args.exclude]
    if args.tests:
        cmd += ["-R", args.tests]
    return cmd


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true", help="print the enumeration count and the selection")
    ap.add_argument("--sample", type=int, help="draw N mutants (default: all)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--survivors", metavar="FILE", help="rerun the survivors of a previous report")
    ap.add_argument("--report", metavar="FILE", help="write a JSON report")
    ap.add_argument("--workdir", help="scratch directory (default /tmp/ne2k-mutate-<checkout>-<hash>)")
    ap.add_argument("--timeout", type=float, default=300, help="seconds per test run (default 300)")
    ap.add_argument("--exclude", help="ctest -E regex: leave these tests out")
    ap.add_argument("--with-explorer", action="store_true",
                    help="run the long explorations too (ctest label long)")
    ap.add_argument("--tests", metavar="REGEX", help="ctest -R regex: run only these tests")
    ap.add_argument("--resume", action="store_true",
                    help="keep the caught and invalid mutants of --report and run the rest (survivors again)")
    args = ap.parse_args()
    if args.with_explorer:
        TEST_WATCHDOG["seconds"] = "600"

    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, text=True,
                          cwd=os.path.dirname(os.path.abspath(__file__)), stdout=subprocess.PIPE).stdout.strip()
    everything = enumerate_mutants(root)
    ops = {}
    for m in everything:
        ops[m["operator"]] = ops.get(m["operator"], 0) + 1
    print("enumerated %d mutants (%s)" % (len(everything), ", ".join("%s %d" % kv for kv in sorted(ops.items()))))
    if args.survivors:
        with open(args.survivors) as f:
            wanted = [m for m in json.load(f)["mutants"] if m["outcome"] == "survived"]
        by_key = {key(m): m for m in everything}
        chosen = [by_key[key(m)] for m in wanted if key(m) in by_key]
        for m in wanted:
            if key(m) not in by_key:
                print("not found in the current sources, skipped: " + describe(m))
        print("rerunning %d survivors of %s" % (len(chosen), args.survivors))
    elif args.sample is not None:
        chosen = sorted(random.Random(args.seed).sample(everything, min(args.sample, len(everything))),
                        key=lambda m: m["id"])
        print("sample of %d, seed %d" % (len(chosen), args.seed))
    else:
        chosen = everything
    if args.list:
        for m in chosen:
            print("#%d %s" % (m["id"], describe(m)))
        return 0

    name = "ne2k-mutate-%s-%s" % (os.path.basename(root), hashlib.sha1(root.encode()).hexdigest()[:8])
    work = os.path.abspath(args.workdir or os.path.join(tempfile.gettempdir(), name))
    if os.path.commonpath([work, root]) == root:
        sys.exit("mutate: the work directory must lie outside the checkout")
    os.makedirs(work, exist_ok=True)
    if os.listdir(work) and not os.path.exists(os.path.join(work, ".mutate.lock")):
        sys.exit("mutate: %s holds other files; give an empty or earlier work directory" % work)
    lock = open(os.path.join(work, ".mutate.lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit("mutate: another run uses " + work)
    print("work directory " + work)
    sync_copy(root, work)
    configure = ["cmake", "-S", ".", "-B", "build", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS_DEBUG=" + BUILD_FLAGS, "-DCMAKE_C_FLAGS_DEBUG=" + BUILD_FLAGS]
    if shutil.which("ccache"):  # a header mutant's restore then rebuilds from the cache
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    for step in (configure,
                 ["cmake", "--build", "build", JOBS], ctest_command(args)):
        print("baseline: " + " ".join(step), flush=True)
        code, out, secs = run(step, work)
        if code != 0:
            sys.exit(out[-4000:] + "\nmutate: the unmutated checkout fails at: " + " ".join(step))
        print("  %.0f s" % secs)

    results, done = [], set()
    if args.resume and args.report and os.path.exists(args.report):
        with open(args.report) as f:
            results = [r for r in json.load(f)["mutants"] if r["outcome"] != "survived"]
        done = {key(r) for r in results}
        print("resuming: %d mutants of %s kept" % (len(results), args.report))
    for n, m in enumerate(chosen, 1):
        if key(m) in done:
            continue
        path = os.path.join(work, m["file"])
        with open(path, encoding="latin-1") as f:
            original = f.read()
        mutated = original[:m["start"]] + m["mutated"] + original[m["end"]:]
        print("[%d/%d] #%d %s" % (n, len(chosen), m["id"], describe(m)), flush=True)
        test = None
        try:
            with open(path, "w", encoding="latin-1") as f:
                f.write(mutated)
            code, out, build_s = run(["cmake", "--build", "build", JOBS], work)
            test_s = 0.0
            if code != 0:
                outcome = "invalid"
            else:
                code, out, test_s = run(ctest_command(args), work, args.timeout)
                outcome = "timeout" if code is None else "survived" if code == 0 else "killed"
                test = failed_test(out) if outcome == "killed" else None
        finally:
            with open(path, "w", encoding="latin-1") as f:
                f.write(original)
        results.append(dict({k: v for k, v in m.items() if k not in ("start", "end")},
                            outcome=outcome, test=test, build_seconds=round(build_s, 1),
                            test_seconds=round(test_s, 1)))
        print("    %s%s (build %.0f s, tests %.0f s)" % (outcome, " by " + test if test else "",
                                                        build_s, test_s), flush=True)
        write_report(args.report, args, len(everything), results)

    print(summary(results))
    for r in results:
        if r["outcome"] in ("survived", "timeout"):
            with open(os.path.join(root, r["file"]), encoding="latin-1") as f:
                source = f.read().split("\n")[r["line"] - 1].strip()
            print("%s%s\n    | %s" % ("timeout: " if r["outcome"] == "timeout" else "", describe(r), source))
    return 0


if __name__ == "__main__":
    sys.exit(main())
