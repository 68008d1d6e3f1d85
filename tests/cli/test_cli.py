"""The installed `corvane` command, run as a user would: files, pipes, options
and every way it can fail."""

import json
import os
import stat
import subprocess

import pytest

from conftest import BLANK, broken_records, find_installed, repair_each_line

DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers"
QUOTE_MESSAGE = "Ambiguous unescaped quote in object value; escape inner quotes before repair"
FENCE = b"`" * 3


@pytest.fixture(scope="session")
def command():
    path = find_installed("corvane")
    if path is None:
        pytest.skip("the corvane command is not installed: run 'pip install .' first")
    return path


@pytest.fixture
def run(command):
    def run(*arguments, stdin=b"", cwd=None):
        return subprocess.run([command, *map(str, arguments)], input=stdin, capture_output=True, cwd=cwd, timeout=300)

    return run


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


# Whole-document repairs, checked against exact results.
DOCUMENTS = [
    (b"", b"null"),
    (b"   ", b"null"),
    (b"{'a': 1, b: [1 2,], c: True, d: None}", b'{"a":1,"b":[1,2],"c":true,"d":null}'),
    (b"Here is the JSON: {\"a\": 1}", b'{"a":1}'),
    (b"\xef\xbb\xbf123", b"123"),
    (FENCE + b"json\n{\"a\":1}\n" + FENCE, b'{"a":1}'),
    (b"[1] [2]", b"[1]"),
    (b"abc\x0bdef", b'"abc\\u000bdef"'),
    ("{'city': 'Zürich', '東京': .5}".encode(), '{"city":"Zürich","東京":0.5}'.encode()),
    (b"[" * 128, b"[" * 128 + b"]" * 128),
    (b"a\x00b", b'"a\\u0000b"'),
]


@pytest.mark.parametrize("source, repaired", DOCUMENTS)
def test_repairs_standard_input_and_files_alike(run, tmp_path, source, repaired):
    piped = run(stdin=source)
    from_file = run(write(tmp_path / "in.json", source))
    dash = run("-", stdin=source)
    for result in (piped, from_file, dash):
        assert (result.returncode, result.stdout, result.stderr) == (0, repaired + b"\n", b"")


def test_agrees_with_the_module(run, corvane_module, tmp_path):
    sources = ["{a: 1, 'b': [1, 2,", '["he said "hi" ok"]', "`x` {\"k\": +1.}", "// c\r1", "{\"a\" 1 \"b\" 2}"]
    paths = [write(tmp_path / f"{i}.json", s) for i, s in enumerate(sources)]
    result = run(*paths)
    assert result.returncode == 0
    assert result.stdout.decode().split("\n") == [corvane_module.repair(s) for s in sources] + [""]


def test_writes_one_result_per_input_in_order(run, tmp_path):
    first = write(tmp_path / "first.json", "[1,")
    second = write(tmp_path / "second.json", "{a:2}")
    result = run(first, "-", second, stdin=b"'piped'")
    assert result.stdout == b'[1]\n"piped"\n{"a":2}\n'


def test_version_matches_the_module(run, corvane_module):
    result = run("--version")
    assert result.stdout == f"corvane {corvane_module.__version__}\n".encode()
    assert result.stdout == b"corvane 0.2.0\n"


def test_help_lists_every_option(run):
    result = run("--help")
    assert result.returncode == 0
    for option in ("-o", "--in-place", "--indent", "--lines", "--on-error", "--check", "--progress", "--version"):
        assert option.encode() in result.stdout


# --indent: the layout Python's json module gives, tokens kept byte for byte.
@pytest.mark.parametrize("indent", [0, 1, 2, 4])
@pytest.mark.parametrize(
    "source",
    [
        "{a: 1, b: [1, 2, {c: []}], d: {}, e: {f: null}}",
        "[[], {}, [[]], 'x']",
        '{"s": "a, b: {c} [d]", "q": "say \\"hi\\""}',
        "[1",
        "42",
        '{"k": "é", "l": ["]"]}',
    ],
)
def test_indent_matches_the_standard_layout(run, corvane_module, source, indent):
    result = run("--indent", indent, stdin=source.encode())
    compact = corvane_module.repair(source)
    expected = json.dumps(json.loads(compact), indent=indent, ensure_ascii=False)
    assert result.returncode == 0
    assert result.stdout.decode() == expected + "\n"


def test_indent_keeps_number_and_escape_spellings(run):
    result = run("--indent=2", stdin=b'{"n": [1.50, -0e+5, 1E2], "s": "\\/\\u00E9"}')
    assert result.stdout == b'{\n  "n": [\n    1.50,\n    -0e+5,\n    1e2\n  ],\n  "s": "\\/\\u00E9"\n}\n'


# -o: one output file, written whole.
def test_output_file_receives_what_stdout_would(run, tmp_path):
    source = write(tmp_path / "in.json", "{a: [1, 2")
    target = tmp_path / "out.json"
    result = run(source, "-", "-o", target, stdin=b"[3,")
    assert (result.returncode, result.stdout) == (0, b"")
    assert target.read_bytes() == b'{"a":[1,2]}\n[3]\n'


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600)])
def test_a_new_output_file_gets_the_usual_mode(command, tmp_path, umask, mode):
    target = tmp_path / "new.json"
    subprocess.run([command, "-o", str(target)], input=b"[1", check=True, preexec_fn=lambda: os.umask(umask))
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_bytes() == b"[1]\n"


def test_output_file_may_be_an_input(run, tmp_path):
    both = write(tmp_path / "data.json", "{a: 1,}")
    assert run(both, "-o", both).returncode == 0
    assert both.read_bytes() == b'{"a":1}\n'


def test_output_file_is_left_alone_when_an_input_fails(run, tmp_path):
    good = write(tmp_path / "good.json", "[1]")
    bad = write(tmp_path / "bad.json", "[" * 129)
    target = write(tmp_path / "out.json", "old contents")
    result = run(good, bad, "-o", target)
    assert result.returncode == 1
    assert target.read_bytes() == b"old contents"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "good.json", "out.json"]


# --in-place: replaced atomically, or not at all.
def test_in_place_replaces_each_file_and_keeps_its_mode(run, tmp_path):
    first = write(tmp_path / "a.json", "{'x': True}")
    second = write(tmp_path / "b.json", "[1, 2,")
    first.chmod(0o640)
    second.chmod(0o604)
    result = run("--in-place", first, second)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert first.read_bytes() == b'{"x":true}\n'
    assert second.read_bytes() == b"[1,2]\n"
    assert stat.S_IMODE(first.stat().st_mode) == 0o640
    assert stat.S_IMODE(second.stat().st_mode) == 0o604
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.json", "b.json"]


def test_in_place_follows_a_symbolic_link(run, tmp_path):
    target = write(tmp_path / "real.json", "[1,")
    link = tmp_path / "link.json"
    link.symlink_to(target.name)
    assert run("-i", link).returncode == 0
    assert link.is_symlink()
    assert target.read_bytes() == b"[1]\n"


@pytest.mark.parametrize(
    "content, status, message",
    [
        (b'{"a": "he said "hi" ok"}', 1, QUOTE_MESSAGE.encode()),
        (b"[" * 129, 1, DEPTH_MESSAGE.encode()),
        (b'{"a": "caf\xe9"}', 2, b"invalid UTF-8"),
    ],
)
def test_in_place_leaves_a_failing_file_byte_identical(run, tmp_path, content, status, message):
    bad = write(tmp_path / "bad.json", content)
    good = write(tmp_path / "good.json", "[1,")
    before = bad.stat()
    result = run("--in-place", bad, good)
    assert result.returncode == status
    assert result.stderr.startswith(f"{bad}: ".encode()) and message in result.stderr
    assert bad.read_bytes() == content
    assert bad.stat().st_mtime_ns == before.st_mtime_ns and bad.stat().st_ino == before.st_ino
    assert good.read_bytes() == b"[1]\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "good.json"]


# --check: nothing written; status 1 and a list of what would change.
@pytest.mark.parametrize(
    "content, status",
    [
        (b'{"a": [1, 2], "b": {"c": "x y"}}\n', 0),
        (b'{\n  "a" : [ 1 ,2 ],\r\n\t"s": " \\" "\n}', 0),
        (b"[]", 0),
        (b"{'a': 1}", 1),
        (b'{"a": 1,}', 1),
        (b"1E5", 1),
        (b"\xef\xbb\xbf{}", 1),
        (b'"a\\tb"\x0c', 1),
        (b"[1 2]", 1),
        (b'{"a": 1} trailing', 1),
        (b"", 1),
        (b"[" * 129, 1),
    ],
)
def test_check_accepts_only_json_that_would_not_change(run, tmp_path, content, status):
    path = write(tmp_path / "doc.json", content)
    result = run("--check", path)
    assert (result.returncode, result.stdout) == (status, b"")
    assert (str(path).encode() in result.stderr) == (status == 1)
    assert path.read_bytes() == content


def test_check_lists_only_the_files_that_would_change(run, tmp_path):
    valid = write(tmp_path / "valid.json", '{"a": 1}')
    broken = write(tmp_path / "broken.json", "{a: 1}")
    result = run("--check", valid, broken)
    assert result.returncode == 1
    assert result.stderr == f"{broken}: would change\n".encode()


# Failures: the status, and a message naming the file and the reason.
@pytest.mark.parametrize(
    "content, status, message",
    [
        (b'{"a": "he said "hi" ok"}', 1, QUOTE_MESSAGE.encode()),
        (b"[" * 129, 1, DEPTH_MESSAGE.encode()),
        (b"[1, \x80]", 2, b"invalid UTF-8 at line 1 (byte offset 4)"),
        (b"{}\n\xc0\x80", 2, b"invalid UTF-8 at line 2 (byte offset 3)"),
        (b'"\xed\xa0\x80"', 2, b"invalid UTF-8 at line 1 (byte offset 1)"),
        (b'"\xf4\x90\x80\x80"', 2, b"invalid UTF-8 at line 1 (byte offset 1)"),
        (b'["\xe2\x82', 2, b"invalid UTF-8 at line 1 (byte offset 2)"),
        (b"\xff", 2, b"invalid UTF-8 at line 1 (byte offset 0)"),
    ],
)
def test_refused_and_invalid_inputs(run, tmp_path, content, status, message):
    path = write(tmp_path / "in.json", content)
    result = run(path)
    assert (result.returncode, result.stdout) == (status, b"")
    assert result.stderr == f"{path}: ".encode() + message + b"\n"
    piped = run(stdin=content)
    assert piped.returncode == status and piped.stderr.startswith(b"<stdin>: ")


# The edges of every UTF-8 range: the first and last valid sequences of each
# lead byte, and their invalid neighbours (overlong, surrogate, past U+10FFFF).
UTF8_EDGES = [
    (b"\xc2\x80", True), (b"\xdf\xbf", True), (b"\xc1\xbf", False), (b"\xc0\x80", False),
    (b"\xe0\xa0\x80", True), (b"\xe0\x9f\xbf", False), (b"\xed\x9f\xbf", True), (b"\xed\xa0\x80", False),
    (b"\xee\x80\x80", True), (b"\xef\xbf\xbf", True), (b"\xf0\x90\x80\x80", True), (b"\xf0\x8f\xbf\xbf", False),
    (b"\xf4\x8f\xbf\xbf", True), (b"\xf4\x90\x80\x80", False), (b"\xf5\x80\x80\x80", False),
    (b"\x80", False), (b"\xe2\x82", False), (b"\xe2\x28\xa1", False), (b"\xf0\x90\x80", False),
]


@pytest.mark.parametrize("sequence, valid", UTF8_EDGES)
def test_utf8_edges(run, sequence, valid):
    source = b'["' + sequence + b'"]'
    assert valid == _decodes(source)  # the table itself agrees with Python's decoder
    result = run(stdin=source)
    if valid:
        assert (result.returncode, result.stdout) == (0, source + b"\n")
    else:
        assert (result.returncode, result.stdout) == (2, b"")
        assert result.stderr == b"<stdin>: invalid UTF-8 at line 1 (byte offset 2)\n"


def _decodes(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def test_missing_file_and_directory(run, tmp_path):
    missing = tmp_path / "missing.json"
    result = run(missing)
    assert result.returncode == 2
    assert result.stderr == f"{missing}: cannot open: No such file or directory\n".encode()
    result = run(tmp_path)
    assert result.returncode == 2
    assert result.stderr == f"{tmp_path}: cannot read: Is a directory\n".encode()


def test_unreadable_file(run, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("running as root: file permissions do not stop root from reading")
    secret = write(tmp_path / "secret.json", "[1]")
    secret.chmod(0)
    result = run(secret)
    assert result.returncode == 2
    assert result.stderr == f"{secret}: cannot open: Permission denied\n".encode()


def test_a_failing_input_does_not_stop_the_others(run, tmp_path):
    good = write(tmp_path / "good.json", "{a: 1")
    result = run(tmp_path / "missing.json", good, stdin=b"")
    assert result.returncode == 2
    assert result.stdout == b'{"a":1}\n'


def test_an_unwritable_output_is_an_error(run, command, tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    with open("/dev/full", "wb") as full:
        result = subprocess.run([command, "-"], input=b"[1]", stdout=full, stderr=subprocess.PIPE)
    assert result.returncode == 2
    assert result.stderr == b"standard output: cannot write: No space left on device\n"
    result = run("-o", tmp_path / "no-such-dir" / "out.json", stdin=b"[1]")
    assert result.returncode == 2 and b"No such file or directory" in result.stderr


@pytest.mark.parametrize(
    "arguments, complaint",
    [
        (["--bogus"], b"unknown option '--bogus'"),
        (["--indent", "-1"], b"invalid value '-1' for --indent"),
        (["--indent=two"], b"invalid value 'two' for --indent"),
        (["--indent", "65"], b"invalid value '65' for --indent"),
        (["--indent"], b"option --indent needs a value"),
        (["--on-error=maybe", "--lines"], b"invalid value 'maybe' for --on-error"),
        (["--on-error=skip"], b"--on-error only applies to --lines"),
        (["--lines", "--indent", "2"], b"--indent cannot be used with --lines"),
        (["--in-place", "-o", "x.json", "a.json"], b"--in-place and -o cannot be used together"),
        (["--in-place"], b"--in-place needs at least one file name"),
        (["--in-place", "-"], b"--in-place cannot replace standard input"),
        (["--check", "-o", "x.json"], b"--check writes nothing"),
        (["--check", "--indent", "2"], b"--check cannot be used with --indent"),
        (["--lines=yes"], b"option --lines takes no value"),
        (["-j", "0", "--lines"], b"invalid value '0' for --jobs"),
    ],
)
def test_usage_errors(run, tmp_path, arguments, complaint):
    result = run(*arguments, stdin=b"[1]", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr == b"corvane: " + complaint + result.stderr[len(b"corvane: ") + len(complaint):]
    assert result.stderr.endswith(b"\nTry 'corvane --help' for more information.\n")
    assert list(tmp_path.iterdir()) == []


def test_double_dash_ends_the_options(run, tmp_path):
    odd = write(tmp_path / "--lines", "[1,")
    assert run("--", odd.name, cwd=tmp_path).stdout == b"[1]\n"


# --lines: one record per line.
LINES = [
    # (input, --on-error, status, stdout, stderr)
    (b"{a:1}\n[1,\n'x'\n", "fail", 0, b'{"a":1}\n[1]\n"x"\n', b""),
    (b"{a:1}\r\n\r\n[2]", "fail", 0, b'{"a":1}\n[2]\n', b""),
    (b"\n \n\t\x0c\n[1]\n\n", "fail", 0, b"[1]\n", b""),
    (b"// only a comment\n", "fail", 0, b"null\n", b""),
    (b"[1]\n" + b"[" * 129 + b"\n[3]\n", "fail", 1, b"[1]\n", b"<stdin>:2: " + DEPTH_MESSAGE.encode() + b"\n"),
    (b"[1]\n" + b"[" * 129 + b"\n[3]\n", "skip", 0, b"[1]\n[3]\n", b"<stdin>:2: " + DEPTH_MESSAGE.encode() + b"\n"),
    (b"[1]\n" + b"[" * 129 + b"\n[3]\n", "null", 0, b"[1]\nnull\n[3]\n", b"<stdin>:2: " + DEPTH_MESSAGE.encode() + b"\n"),
    (b'\n{"q": "a "b" c"}\n', "null", 0, b"null\n", b"<stdin>:2: " + QUOTE_MESSAGE.encode() + b"\n"),
    (b"[1]\n[\xe9]\n[3]\n", "skip", 2, b"[1]\n", b"<stdin>:2: invalid UTF-8 at column 2\n"),
    (b"\xef\xbb\xbf[1]\n[2]", "fail", 0, b"[1]\n[2]\n", b""),
]


@pytest.mark.parametrize("source, on_error, status, stdout, stderr", LINES)
def test_lines(run, source, on_error, status, stdout, stderr):
    result = run("--lines", f"--on-error={on_error}", stdin=source)
    assert (result.returncode, result.stdout, result.stderr) == (status, stdout, stderr)


@pytest.fixture(scope="module")
def big_jsonl(tmp_path_factory):
    """100,000 generated records (about 6 MB: several blocks of lines)."""
    path = tmp_path_factory.mktemp("lines") / "records.jsonl"
    path.write_text("\n".join(broken_records(100_000)) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("jobs", [None, "1", "2", "3"])
def test_lines_on_100000_records_agree_with_the_module(run, corvane_module, big_jsonl, jobs):
    arguments = ["--lines", "--on-error=null", big_jsonl] + (["--jobs", jobs] if jobs else [])
    result = run(*arguments)
    expected = repair_each_line(corvane_module, big_jsonl.read_text(encoding="utf-8"))
    assert result.returncode == 0
    assert result.stdout.decode().split("\n") == expected + [""]
    # Every refused record is reported, with its own line number.
    refused = [
        f"{big_jsonl}:{number}:"
        for number, line in enumerate(big_jsonl.read_text(encoding="utf-8").split("\n"), 1)
        if line.strip(BLANK) and _refuses(corvane_module, line)
    ]
    assert [line.split(" ", 1)[0] for line in result.stderr.decode().splitlines()] == refused


def _refuses(corvane, line):
    try:
        corvane.repair(line)
        return False
    except ValueError:
        return True


def test_lines_from_a_pipe_stop_at_the_first_refusal(run, corvane_module, big_jsonl):
    source = big_jsonl.read_bytes()
    result = run("--lines", "--jobs", "2", stdin=source)
    expected = repair_each_line(corvane_module, source.decode(), on_error="fail")
    lines = source.decode().split("\n")
    first_refused = next(n for n, line in enumerate(lines, 1) if line.strip(BLANK) and _refuses(corvane_module, line))
    assert result.returncode == 1
    assert result.stdout.decode().split("\n") == expected + [""]
    assert result.stderr.decode().startswith(f"<stdin>:{first_refused}: ")
    assert len(result.stderr.splitlines()) == 1


def test_lines_progress_stays_quiet_off_a_terminal(run, big_jsonl):
    result = run("--lines", "--on-error=skip", "--progress", big_jsonl)
    assert result.returncode == 0
    assert b"records/s" not in result.stderr and b"\r" not in result.stderr


@pytest.mark.parametrize(
    "content, status, report",
    [
        (b'{"a": 1}\n\n[1, 2]\r\n', 0, b""),
        (b'{"a": 1}\n{a: 1}\n[]\n[1,]\n', 1, b"2: would change\n{path}:4: would change\n"),
        (b"[1]\n" + b"[" * 129 + b"\n", 1, b"2: " + DEPTH_MESSAGE.encode() + b"\n"),
    ],
)
def test_lines_check(run, tmp_path, content, status, report):
    path = write(tmp_path / "data.jsonl", content)
    result = run("--lines", "--check", path)
    assert (result.returncode, result.stdout) == (status, b"")
    expected = (f"{path}:".encode() + report.replace(b"{path}", str(path).encode())) if report else b""
    assert result.stderr == expected


@pytest.mark.parametrize(
    "on_error, status, after",
    [
        ("fail", 1, None),
        ("skip", 0, b"[1]\n[3]\n"),
        ("null", 0, b"[1]\nnull\n[3]\n"),
    ],
)
def test_lines_in_place(run, tmp_path, on_error, status, after):
    content = b"[1,\n" + b"[" * 129 + b"\n[3\n"
    path = write(tmp_path / "data.jsonl", content)
    result = run("--lines", "--in-place", f"--on-error={on_error}", path)
    assert result.returncode == status
    assert path.read_bytes() == (content if after is None else after)
    assert [p.name for p in tmp_path.iterdir()] == ["data.jsonl"]
