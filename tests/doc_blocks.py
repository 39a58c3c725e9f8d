"""Runs the documentation's code blocks and compares the output they show.

Every ```sh and ```python block of README.md and docs/**/*.md runs, in
document order, in a scratch copy of the checkout made for its page (so a
block may use the files an earlier block of the page wrote); the Python
blocks of a page share one interpreter, as in a notebook. A ```text block
that follows a block (only blank lines between) is that block's expected
output. An HTML comment on the line before a block gives options:
``<!-- doctest: skip: REASON -->`` leaves it out (a reason is required),
``<!-- doctest: rtol=1e-3 atol=1e-6 -->`` loosens the comparison of its
numbers. The conventions are described in docs/development.md.

Run through ``scripts/doctest [PAGE ...] [--update]``.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import difflib
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RUN_LANGUAGES = ("sh", "python")
# Languages a fence may name without running; anything else (and a fence
# without a language) is refused, so that a command cannot be left unchecked
# by a typo.
QUIET_LANGUAGES = ("text", "json", "toml", "yaml", "cif", "cpp", "c++", "ini", "csv", "html")
DEFAULT_RTOL = 2e-4
BLOCK_TIMEOUT = 300.0

FENCE = re.compile(r"^(?P<indent> {0,3})(?P<fence>`{3,}|~{3,})\s*(?P<lang>[^\s`]*)\s*$")
CLOSING = re.compile(r"^ {0,3}(`{3,}|~{3,})\s*$")
OPTIONS = re.compile(r"^\s*<!--\s*doctest:\s*(?P<body>.*?)\s*-->\s*$")
# A number standing on its own (not a digit inside a word such as s000714 or
# 2theta): optional sign, digits with an optional fraction, optional exponent.
NUMBER = re.compile(r"(?<![\w.])[-+−]?(?:\d+\.\d*|\.\d+|\d+)(?:[eE][-+]?\d+)?(?![\w.])")


@dataclass
class Block:
    """One fenced block of a page."""

    page: str
    line: int  # 1-based line of the opening fence
    language: str
    code: str
    expected: str | None = None  # the text block after it, if any
    expected_line: int | None = None  # line of that text block's opening fence
    skip: str | None = None  # the reason given for not running it
    rtol: float = DEFAULT_RTOL
    atol: float = 0.0
    status: int = 0  # the exit status a shell block ends with

    @property
    def where(self):
        return f"{self.page}:{self.line}"


@dataclass
class Failure:
    block: Block
    message: str


@dataclass
class PageResult:
    page: str
    ran: int = 0
    compared: int = 0
    skipped: int = 0
    failures: list[Failure] = field(default_factory=list)
    updates: list[tuple[Block, str]] = field(default_factory=list)
    seconds: float = 0.0


class PageError(Exception):
    """A page whose fences cannot be read (an unclosed fence, an unknown language)."""


def documentation_pages(root=ROOT):
    """README.md and every page of docs/, relative to the checkout."""
    pages = [root / "README.md", *sorted((root / "docs").rglob("*.md"))]
    return [str(p.relative_to(root)) for p in pages if p.is_file()]


def _closes(line, fence):
    """Whether a line closes a fence opened with `fence` (same character, at least as long)."""
    m = CLOSING.match(line)
    return bool(m) and m[1][0] == fence[0] and len(m[1]) >= len(fence)


def _parse_options(text, where):
    """Options of one ``<!-- doctest: ... -->`` comment as a dict."""
    text = text.strip()
    if text.startswith("skip"):
        reason = text[4:].lstrip(" :").strip()
        if not reason:
            raise PageError(f"{where}: 'doctest: skip' needs a reason ('doctest: skip: why')")
        return {"skip": reason}
    options = {}
    for item in text.split():
        key, sep, value = item.partition("=")
        if not sep or key not in ("rtol", "atol", "status"):
            raise PageError(f"{where}: unknown doctest option {item!r} (skip: REASON, rtol=X, atol=X, status=N)")
        try:
            options[key] = int(value) if key == "status" else float(value)
        except ValueError:
            raise PageError(f"{where}: doctest option {item!r} is not a number") from None
    return options


def extract_blocks(text, page="<text>"):
    """The runnable blocks of a Markdown page, each with its expected output.

    Raises `PageError` for a fence that is never closed, a fence without a
    language, or a language neither run nor known to be quiet.
    """
    lines = text.splitlines()
    fences = []  # (line index, language, code, indent)
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang = m["fence"], m["lang"].lower()
        start = i
        i += 1
        body = []
        while i < len(lines) and not _closes(lines[i], fence):
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise PageError(f"{page}:{start + 1}: the fence opened here is never closed")
        i += 1
        if not lang:
            raise PageError(
                f"{page}:{start + 1}: a fence without a language; name it (```sh or ```python to run it,"
                " ```text for output or anything not to run)"
            )
        if lang not in RUN_LANGUAGES and lang not in QUIET_LANGUAGES:
            raise PageError(
                f"{page}:{start + 1}: fence language {lang!r} is neither run ({', '.join(RUN_LANGUAGES)})"
                f" nor known ({', '.join(QUIET_LANGUAGES)})"
            )
        code = textwrap.dedent("\n".join(body))
        fences.append((start, i - 1, lang, code))

    blocks = []
    for n, (start, end, lang, code) in enumerate(fences):
        if lang not in RUN_LANGUAGES:
            continue
        options = {}
        before = start - 1
        while before >= 0 and not lines[before].strip():
            before -= 1
        if before >= 0 and (m := OPTIONS.match(lines[before])):
            options = _parse_options(m["body"], f"{page}:{before + 1}")
        block = Block(page, start + 1, lang, code, **options)
        if n + 1 < len(fences):
            nstart, _, nlang, ncode = fences[n + 1]
            if nlang == "text" and all(not line.strip() for line in lines[end + 1 : nstart]):
                block.expected, block.expected_line = ncode, nstart + 1
        blocks.append(block)
    # Options written before a text block or a paragraph are a mistake.
    for k, line in enumerate(lines):
        if OPTIONS.match(line):
            after = k + 1
            while after < len(lines) and not lines[after].strip():
                after += 1
            m = FENCE.match(lines[after]) if after < len(lines) else None
            if not m or m["lang"].lower() not in RUN_LANGUAGES:
                raise PageError(f"{page}:{k + 1}: a doctest comment must stand before a ```sh or ```python block")
    return blocks


# --- comparison -----------------------------------------------------------


def _unit(token):
    """One unit in the last digit a number is written with."""
    mantissa, _, exponent = token.lower().partition("e")
    decimals = len(mantissa.partition(".")[2])
    return 10.0 ** (-decimals + (int(exponent) if exponent else 0))


def _split(token):
    """A token as alternating text and numbers: ['(', 1.0, ')'] and the numbers' units."""
    parts, units, pos = [], [], 0
    for m in NUMBER.finditer(token):
        parts.append(token[pos : m.start()])
        text = m.group().replace("−", "-")
        parts.append(float(text))
        units.append(_unit(text.lstrip("+-")))
        pos = m.end()
    parts.append(token[pos:])
    return parts, units


def tokens_match(expected, actual, rtol=DEFAULT_RTOL, atol=0.0):
    """Whether one token of the shown output matches the printed one.

    Text must be equal; a number may differ by one unit of the last digit
    shown, plus ``rtol`` of its size, plus ``atol``. '...' inside a token
    stands for any characters.
    """
    if expected == actual:
        return True
    if "..." in expected:  # elided characters within a token
        pattern = ".*".join(re.escape(piece) for piece in expected.split("..."))
        return re.fullmatch(pattern, actual) is not None
    e_parts, e_units = _split(expected)
    a_parts, _ = _split(actual)
    if len(e_parts) != len(a_parts):
        return False
    units = iter(e_units)
    for e, a in zip(e_parts, a_parts, strict=True):
        if isinstance(e, str):
            if e != a:
                return False
        elif abs(e - a) > next(units) + rtol * max(abs(e), abs(a)) + atol:
            return False
    return True


def _line_matches(expected_tokens, actual_tokens, rtol, atol):
    """Token lists equal up to number tolerance; '...' matches one or more tokens."""
    if not expected_tokens:
        return not actual_tokens
    head = expected_tokens[0]
    if head == "...":
        return any(
            _line_matches(expected_tokens[1:], actual_tokens[k:], rtol, atol) for k in range(1, len(actual_tokens) + 1)
        )
    return (
        bool(actual_tokens)
        and tokens_match(head, actual_tokens[0], rtol, atol)
        and _line_matches(expected_tokens[1:], actual_tokens[1:], rtol, atol)
    )


def output_matches(expected, actual, rtol=DEFAULT_RTOL, atol=0.0):
    """Whether printed output matches the output a page shows.

    Lines are compared as whitespace-separated tokens; a line of only '...'
    matches any number of lines (none included), a '...' token one or more
    tokens, '...' within a token any characters. Blank lines and trailing whitespace are ignored.
    """
    return first_difference(expected, actual, rtol, atol) is None


def first_difference(expected, actual, rtol=DEFAULT_RTOL, atol=0.0):
    """None when the output matches (as `output_matches` says), else the
    furthest shown line no way of matching got past and the printed line
    it met there (None at the end of the output)."""
    exp = [line for line in expected.splitlines() if line.strip()]
    act = [line for line in actual.splitlines() if line.strip()]
    exp_tokens, act_tokens = [line.split() for line in exp], [line.split() for line in act]
    furthest = [-1, None]

    def match(i, j):
        if i == len(exp):
            if j == len(act):
                return True
            if i > furthest[0]:
                furthest[:] = [i, act[j]]
            return False
        if exp_tokens[i] == ["..."]:
            return any(match(i + 1, k) for k in range(j, len(act) + 1))
        if j < len(act) and _line_matches(exp_tokens[i], act_tokens[j], rtol, atol):
            return match(i + 1, j + 1)
        if i > furthest[0]:
            furthest[:] = [i, act[j] if j < len(act) else None]
        return False

    if match(0, 0):
        return None
    i, printed = furthest
    return (exp[i] if i < len(exp) else "(the end of the shown output)"), printed


# --- running ----------------------------------------------------------------

# The interpreter that runs a page's Python blocks: one namespace for the
# page; each block's output (standard output and error, at the descriptor
# level so that children and native code are caught too) goes to a file the
# runner names, and a result line to the descriptor given as argv[1].
_DRIVER = r"""
import json, os, sys, traceback
result = os.fdopen(int(sys.argv[1]), "w")
namespace = {"__name__": "__main__"}
for request in sys.stdin:
    request = json.loads(request)
    sys.stdout.flush(); sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(request["output"], "w") as out:
        os.dup2(out.fileno(), 1); os.dup2(out.fileno(), 2)
        error = None
        try:
            exec(compile(request["code"], request["where"], "exec"), namespace)
        except BaseException as e:
            error = "".join(traceback.format_exception(type(e), e, e.__traceback__.tb_next))
        finally:
            sys.stdout.flush(); sys.stderr.flush()
            try:
                import matplotlib.pyplot as plt
                plt.close("all")
            except Exception:
                pass
            os.dup2(saved[0], 1); os.dup2(saved[1], 2)
            os.close(saved[0]); os.close(saved[1])
    result.write(json.dumps({"error": error}) + "\n")
    result.flush()
"""


def _clean_stderr(text):
    """Standard error as a terminal would leave it, without progress bars.

    A line redrawn with carriage returns keeps its last state; a line that
    is then blank or a progress bar (tqdm's "n/N [time, rate]") is dropped.
    """
    kept = []
    for line in text.split("\n"):
        if "\r" in line:
            line = line.rsplit("\r", 1)[1]
            if not line.strip():
                continue
        if re.search(r"\|[^|]*\|\s*\d+/\d+ \[|\d+\w* \[\d\d:\d\d", line):
            continue
        kept.append(line)
    return "\n".join(kept)


def scratch_copy(root, destination):
    """The checkout's files (tracked and untracked, not ignored) copied to destination."""
    try:
        listed = subprocess.run(
            ["git", "-C", str(root), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            check=True,
            capture_output=True,
        ).stdout.decode()
        files = [f for f in listed.split("\0") if f]
    except (OSError, subprocess.CalledProcessError):
        skip = {".git", ".venv", "build", "site", "__pycache__"}
        files = [
            str(p.relative_to(root))
            for p in root.rglob("*")
            if p.is_file() and not skip.intersection(p.relative_to(root).parts)
        ]
    for name in files:
        source = root / name
        if not source.is_file():  # deleted in the work tree
            continue
        target = destination / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target, follow_symlinks=True)


def _extras(root):
    with open(root / "pyproject.toml", "rb") as f:
        return set(tomllib.load(f)["project"].get("optional-dependencies", {}))


def check_install_lines(block, extras):
    """A pip install line must install from the checkout with extras that exist."""
    problems = []
    for line in block.code.splitlines():
        if not re.search(r"\bpip\s+install\b", line):
            continue
        if re.search(r"(?<![\w/.-])peakforge\[", line) or re.search(r"install\s+['\"]?peakforge\b", line):
            problems.append(
                f"'{line.strip()}': no package of this name is published; install from the checkout ('.[fit]')"
            )
        for group in re.findall(r"\.\[([^\]]*)\]", line):
            unknown = sorted({e.strip() for e in group.split(",")} - extras)
            if unknown:
                problems.append(f"'{line.strip()}': no extra {', '.join(unknown)} in pyproject.toml")
    return problems


def _shell_env(python, scratch):
    env = dict(os.environ)
    env["PATH"] = f"{Path(python).parent}{os.pathsep}{env.get('PATH', '')}"
    env["MPLBACKEND"] = "Agg"
    env["HOME"] = env.get("HOME", str(scratch))
    env.pop("PYTHONSTARTUP", None)
    return env


def _describe(block, output):
    tail = "\n".join(output.strip().splitlines()[-25:])
    return textwrap.indent(tail, "    | ") if tail else "    (no output)"


def run_page(page, python, root=ROOT, update=False, keep=False):
    """Runs one page's blocks in a scratch copy of the checkout."""
    result = PageResult(page)
    started = time.monotonic()
    try:
        blocks = extract_blocks((root / page).read_text(encoding="utf-8"), page)
    except PageError as e:
        result.failures.append(Failure(Block(page, 0, "", ""), str(e)))
        return result
    extras = _extras(root)
    # Install lines in prose too (`pip install '.[fit]'`), skipped blocks included.
    text = (root / page).read_text(encoding="utf-8")
    for number, line in enumerate(text.splitlines(), 1):
        for problem in check_install_lines(Block(page, number, "text", line), extras):
            result.failures.append(Failure(Block(page, number, "text", line), problem))
    todo = [b for b in blocks if not b.skip]
    result.skipped = len(blocks) - len(todo)
    if not todo:
        return result

    scratch = Path(tempfile.mkdtemp(prefix="peakforge-doc-"))
    driver = None
    try:
        scratch_copy(root, scratch)
        env = _shell_env(python, scratch)
        for block in todo:
            result.ran += 1
            out_file = scratch.parent / f"{scratch.name}.out"
            if block.language == "sh":
                script = scratch.parent / f"{scratch.name}.sh"
                script.write_text(block.code + "\n", encoding="utf-8")
                done = _run_shell(script, scratch, env)
                if done is None:
                    result.failures.append(Failure(block, f"timed out after {BLOCK_TIMEOUT:.0f} s"))
                    continue
                stdout, stderr = done.stdout, _clean_stderr(done.stderr)
                if done.returncode != block.status:
                    result.failures.append(
                        Failure(
                            block,
                            f"exit status {done.returncode} (expected {block.status})\n{_describe(block, stderr + stdout)}",
                        )
                    )
                    continue
            else:
                if driver is None:
                    read_fd, write_fd = os.pipe()
                    driver = subprocess.Popen(
                        [python, "-c", _DRIVER, str(write_fd)],
                        cwd=scratch,
                        env=env,
                        stdin=subprocess.PIPE,
                        stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL,
                        text=True,
                        pass_fds=(write_fd,),
                        start_new_session=True,
                    )
                    os.close(write_fd)
                    replies = os.fdopen(read_fd)
                request = {"code": block.code, "where": block.where, "output": str(out_file)}
                driver.stdin.write(json.dumps(request) + "\n")
                driver.stdin.flush()
                reply = _read_reply(replies, driver, BLOCK_TIMEOUT)
                output = out_file.read_text(encoding="utf-8", errors="replace") if out_file.exists() else ""
                if reply is None:
                    result.failures.append(
                        Failure(block, f"the interpreter ended or timed out\n{_describe(block, output)}")
                    )
                    _end_group(driver.pid)
                    driver.wait()
                    driver = None
                    continue
                if reply["error"]:
                    result.failures.append(Failure(block, f"raised\n{_describe(block, output + reply['error'])}"))
                    continue
                stdout, stderr = output, ""
            if block.expected is not None:
                result.compared += 1
                candidates = [stdout, stderr + "\n" + stdout, stderr]
                differences = [first_difference(block.expected, c, block.rtol, block.atol) for c in candidates]
                if all(differences):
                    # The diff (and --update) use whichever of standard output,
                    # error and both the page's text resembles most.
                    shown = max(
                        candidates,
                        key=lambda c: difflib.SequenceMatcher(
                            None, block.expected.split(), c.split(), autojunk=False
                        ).ratio(),
                    )
                    diff = "\n".join(
                        difflib.unified_diff(
                            block.expected.strip().splitlines(),
                            shown.strip().splitlines(),
                            f"shown at {page}:{block.expected_line}",
                            "printed",
                            lineterm="",
                            n=1,
                        )
                    )
                    shown_line, printed_line = differences[candidates.index(shown)]
                    where = f"  shown:   {shown_line.strip()}\n  printed: " + (
                        printed_line.strip() if printed_line is not None else "(nothing more)"
                    )
                    result.failures.append(
                        Failure(
                            block,
                            f"output differs from the text block at line {block.expected_line}, first at\n{where}\n"
                            f"  the whole of it ('...' in what is shown stands for any text):\n"
                            f"{textwrap.indent(diff, '    ')}",
                        )
                    )
                    if update:
                        result.updates.append((block, shown.strip("\n")))
    finally:
        if driver is not None:
            driver.stdin.close()
            try:
                driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            _end_group(driver.pid)  # the interpreter and whatever its blocks left running
        if keep:
            print(f"{page}: scratch copy kept in {scratch}", file=sys.stderr)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
        for suffix in (".out", ".sh"):
            (scratch.parent / f"{scratch.name}{suffix}").unlink(missing_ok=True)
        result.seconds = time.monotonic() - started
    return result


def _end_group(pid):
    """Ends a process group started for a block (its leader's pid), if anything of it is left."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _run_shell(script, cwd, env):
    """Runs a shell block in its own process group; whatever it leaves running is ended with it."""
    with subprocess.Popen(
        ["bash", "-e", "-o", "pipefail", str(script)],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
        start_new_session=True,
    ) as process:
        try:
            stdout, stderr = process.communicate(timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            stdout = None
        finally:
            _end_group(process.pid)
        if stdout is None:
            process.communicate()
            return None
        # Decoded here, not by text=True, which would turn a progress bar's
        # carriage returns into line ends.
        return subprocess.CompletedProcess(
            process.args, process.returncode, stdout.decode(errors="replace"), stderr.decode(errors="replace")
        )


def _read_reply(replies, driver, timeout):
    """The driver's answer to one block, or None when it died or took too long."""
    import selectors

    with selectors.DefaultSelector() as sel:
        sel.register(replies, selectors.EVENT_READ)
        if not sel.select(timeout):
            return None
    line = replies.readline()
    return json.loads(line) if line else None


def apply_updates(root, updates):
    """Writes the printed output into the text blocks that showed something else.

    A block whose shown output uses '...' is left for a person to edit.
    """
    by_page = {}
    for block, output in updates:
        if "..." in block.expected.split():
            print(f"{block.where}: not updated (its shown output elides with '...'); edit it by hand", file=sys.stderr)
            continue
        by_page.setdefault(block.page, []).append((block, output))
    for page, items in by_page.items():
        lines = (root / page).read_text(encoding="utf-8").splitlines(keepends=True)
        for block, output in sorted(items, key=lambda item: -item[0].expected_line):
            start = block.expected_line  # index of the first line inside the fence
            end = start
            while not FENCE.match(lines[end]):
                end += 1
            lines[start:end] = [line + "\n" for line in output.splitlines()]
            print(f"{block.where}: updated the text block at line {block.expected_line}", file=sys.stderr)
        (root / page).write_text("".join(lines), encoding="utf-8")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="scripts/doctest", description=__doc__.splitlines()[0])
    parser.add_argument("pages", nargs="*", help="pages to run (default: README.md and docs/**/*.md)")
    parser.add_argument("--python", default=os.environ.get("PEAKFORGE_PYTHON", str(ROOT / ".venv/bin/python")))
    parser.add_argument("-j", "--jobs", type=int, default=2, help="pages run at once (default 2)")
    parser.add_argument("--update", action="store_true", help="write the printed output into text blocks that differ")
    parser.add_argument("--keep", action="store_true", help="keep each page's scratch copy")
    args = parser.parse_args(argv)

    pages = args.pages or documentation_pages()
    pages = [str(Path(p).resolve().relative_to(ROOT)) if Path(p).is_absolute() else p for p in pages]
    python = str(Path(args.python).absolute()) if os.sep in args.python else args.python
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        results = list(pool.map(lambda p: run_page(p, python, update=args.update, keep=args.keep), pages))

    failures = [f for r in results for f in r.failures]
    for f in failures:
        where = f"{f.block.where} ({f.block.language} block): " if f.block.line else ""
        print(f"FAILED {where}{f.message}\n", file=sys.stderr)
    ran = sum(r.ran for r in results)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(
        f"doctest: {len(pages)} pages, {ran} blocks run, {sum(r.compared for r in results)} outputs compared, "
        f"{sum(r.skipped for r in results)} skipped, {len(failures)} failed in {time.monotonic() - started:.0f} s "
        f"({children.ru_utime + children.ru_stime:.0f} s of CPU)"
    )
    for r in sorted(results, key=lambda r: -r.seconds):
        if r.ran:
            print(f"  {r.page}: {r.ran} blocks, {r.seconds:.1f} s")
    if args.update:
        apply_updates(ROOT, [u for r in results for u in r.updates])
    if ran == 0:
        print("doctest: no block ran: nothing was checked", file=sys.stderr)
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
