"""The installed `corvane` command, run as a user would: files, pipes, options
and every way it can fail."""

import json
import os
import resource
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from conftest import BLANK, broken_records, find_installed, repair_each_line

DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers"
QUOTE_MESSAGE = "Ambiguous unescaped quote in object value; escape inner quotes before repair"
FENCE = b"`" * 3


# CORVANE_COMMAND runs these tests against another build of the command, such
# as the one for Windows under Wine (scripts/test-windows.sh); what only POSIX
# systems have (modes, owners, links, /dev names, signals, limits) is skipped
# for Windows.
ON_WINDOWS = os.environ.get("CORVANE_COMMAND_SYSTEM") == "windows"
posix_only = pytest.mark.skipif(ON_WINDOWS, reason="POSIX modes, links, /dev names, signals and limits")


@pytest.fixture(scope="session")
def command():
    path = os.environ.get("CORVANE_COMMAND") or find_installed("corvane")
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


# Inputs on which the two rule sets agree and inputs on which they differ.
AGREEING = ["{a: 1, 'b': [1, 2,", "`x` {\"k\": +1.}", "// c\r1", "{\"a\" 1 \"b\" 2}"]
DIFFERING = ['["he said "hi" ok"]', "{\u201ccity\u201d: \u201cOslo\u201d}", "<think>{a}</think> {'ok': undefined}",
             "{'ids': {1, 2}}  # ids"]


@pytest.mark.parametrize("profile", [None, "default", "model"])
def test_agrees_with_the_module(run, corvane_module, tmp_path, profile):
    module = pytest.importorskip("corvane_model") if profile == "model" else corvane_module
    options = [] if profile is None else ["--profile", profile]
    sources = AGREEING + DIFFERING
    paths = [write(tmp_path / f"{i}.json", s) for i, s in enumerate(sources)]
    expected = [module.repair(s) for s in sources]
    result = run(*options, *paths)
    assert result.returncode == 0
    assert result.stdout.decode().split("\n") == expected + [""]
    lines = run("--lines", f"--profile={profile or 'default'}", "-j", "2", stdin="\n".join(sources).encode())
    assert (lines.returncode, lines.stdout.decode().split("\n")) == (0, expected + [""])


def test_model_profile_reaches_the_engine(run):
    reply = "{\u201ccity\u201d: \u201cOslo\u201d}".encode()
    for options in (["--profile", "model"], ["--profile=model", "--lines"]):
        assert run(*options, stdin=reply).stdout == b'{"city":"Oslo"}\n'


def test_writes_one_result_per_input_in_order(run, tmp_path):
    first = write(tmp_path / "first.json", "[1,")
    second = write(tmp_path / "second.json", "{a:2}")
    result = run(first, "-", second, stdin=b"'piped'")
    assert result.stdout == b'[1]\n"piped"\n{"a":2}\n'


def test_version_matches_the_module(run, corvane_module):
    result = run("--version")
    assert result.stdout == f"corvane {corvane_module.__version__}\n".encode()
    assert result.stdout == b"corvane 0.2.0\n"


def test_help_lists_every_option_and_status(run):
    result = run("--help")
    assert result.returncode == 0
    for option in ("-o", "--in-place", "--indent", "--lines", "--on-error", "--check", "--explain", "--progress", "--profile",
                   "--version"):
        assert option.encode() in result.stdout
    statuses = result.stdout.split(b"Exit status:")[1]
    for status in (b"0 on", b"1 when", b"2 on", b"3 on"):
        assert status in statuses


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


@posix_only
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


# Outputs that are not regular files are written where they are, never replaced.
@pytest.mark.parametrize("name, stream", [
    ("-", "stdout"),
    pytest.param("/dev/stdout", "stdout", marks=posix_only),
    pytest.param("/dev/stderr", "stderr", marks=posix_only),
])
def test_output_names_for_the_standard_streams(run, tmp_path, name, stream):
    result = run("-o", name, "-", stdin=b"[1,", cwd=tmp_path)
    assert result.returncode == 0
    assert getattr(result, stream) == b"[1]\n"
    assert list(tmp_path.iterdir()) == []


@posix_only
def test_output_to_dev_stdout_writes_into_a_redirected_file(command, tmp_path):
    redirected = write(tmp_path / "out.txt", "")
    before = redirected.stat().st_ino
    good = write(tmp_path / "good.json", "[1,")
    bad = write(tmp_path / "bad.json", "[" * 129)
    with open(redirected, "ab") as stdout:
        result = subprocess.run([command, good, bad, "-o", "/dev/stdout"], stdout=stdout, stderr=subprocess.PIPE)
    assert result.returncode == 1
    assert redirected.read_bytes() == b"[1]\n" and redirected.stat().st_ino == before
    assert b"left unchanged" not in result.stderr


def special_file(tmp_path, kind):
    """A FIFO, or a null device of our own (root only): never the machine's."""
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    else:
        try:
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except (PermissionError, OSError) as error:
            pytest.skip(f"cannot make a device node here: {error}")
    return path


def drain(path):
    """Reads a FIFO on a thread, as the other end of a pipeline would."""
    received = []
    reader = threading.Thread(target=lambda: received.append(open(path, "rb").read()))
    reader.start()
    return reader, received


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_output_to_a_fifo_or_device_keeps_it(run, tmp_path, kind):
    target = special_file(tmp_path, kind)
    kept = stat.S_ISFIFO if kind == "fifo" else stat.S_ISCHR
    reader, received = drain(target) if kind == "fifo" else (None, None)
    result = run("-o", target, stdin=b"{a: 1")
    if reader:
        reader.join(timeout=60)
        assert received == [b'{"a":1}\n']
    assert (result.returncode, result.stderr) == (0, b"")
    assert kept(os.lstat(target).st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == [kind]


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_in_place_refuses_what_is_not_a_regular_file(run, tmp_path, kind):
    target = special_file(tmp_path, kind)
    good = write(tmp_path / "good.json", "[1,")
    result = run("--in-place", target, good)
    assert result.returncode == 2
    assert result.stderr == f"{target}: cannot edit in place: not a regular file\n".encode()
    assert good.read_bytes() == b"[1]\n"
    assert not stat.S_ISREG(os.lstat(target).st_mode)


def test_reports_stay_out_of_the_output_when_stderr_is_closed(command, tmp_path):
    source = write(tmp_path / "in.jsonl", b"[1,\n" + b"[" * 129 + b"\n[3\n")
    target = tmp_path / "out.jsonl"
    result = subprocess.run([command, "--lines", "--on-error=skip", source, "-o", target],
                            preexec_fn=lambda: os.close(2))
    assert result.returncode == 0
    assert target.read_bytes() == b"[1]\n[3]\n"


@posix_only
def test_lines_run_on_the_threads_the_system_grants(command, corvane_module, big_jsonl, tmp_path):
    def limit():
        # Thread stacks take the stack limit's size: three or so fit in this
        # address space, not 1024, and the blocks still have room.
        resource.setrlimit(resource.RLIMIT_STACK, (256 << 20, 256 << 20))
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    target = tmp_path / "out.jsonl"
    result = subprocess.run([command, "--lines", "--on-error=null", "-j", "1024", big_jsonl, "-o", target],
                            capture_output=True, preexec_fn=limit, timeout=300)
    assert result.returncode == 0
    assert all(line.startswith(f"{big_jsonl}:".encode()) for line in result.stderr.splitlines())
    expected = repair_each_line(corvane_module, big_jsonl.read_text(encoding="utf-8"))
    assert target.read_text(encoding="utf-8").split("\n") == expected + [""]
    assert [p.name for p in tmp_path.iterdir()] == ["out.jsonl"]


def wait_for_temporary(directory, process):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if any(p.name.startswith(".corvane-") for p in directory.iterdir()):
            return
        time.sleep(0.001)
    pytest.fail("the command never showed its temporary file")


ENDING_SIGNALS = [] if ON_WINDOWS else [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE]


def signals_as(ignored=()):
    """A child's signal dispositions, whatever this run inherited: a shell
    starts a background job (`&`, nohup) with SIGINT ignored, and the command
    rightly keeps an ignored signal ignored."""
    def prepare():
        for number in ENDING_SIGNALS:
            signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)
    return prepare


def interrupted_run(command, tmp_path, mode):
    """How to start the command writing `target` in `mode` so that it stays
    a while with its temporary file made: (arguments, stdin, target)."""
    if mode == "output":
        target = write(tmp_path / "out.json", "old")
        # Standard input stays open: the command waits with its temporary file made.
        arguments, stdin = ["-o", target], subprocess.PIPE
    else:
        target = write(tmp_path / "big.jsonl", b"{a: 1}\n" * 15_000_000)
        arguments, stdin = ["--lines", "--in-place", "-j", "1", target], subprocess.DEVNULL
    return arguments, stdin, target


@posix_only
@pytest.mark.parametrize("signal_number", ENDING_SIGNALS)
@pytest.mark.parametrize("mode", ["output", "in-place"])
def test_an_interrupt_removes_the_temporary_file(command, tmp_path, mode, signal_number):
    arguments, stdin, target = interrupted_run(command, tmp_path, mode)
    before = target.read_bytes()
    process = subprocess.Popen([command, *map(str, arguments)], stdin=stdin, stderr=subprocess.PIPE,
                               preexec_fn=signals_as())
    try:
        wait_for_temporary(tmp_path, process)
        process.send_signal(signal_number)
        assert process.wait(timeout=60) == -signal_number
    finally:
        process.kill()
        process.communicate()
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    assert target.read_bytes() == before


@posix_only
def test_an_inherited_ignored_interrupt_stays_ignored(command, tmp_path):
    arguments, stdin, target = interrupted_run(command, tmp_path, "output")
    process = subprocess.Popen([command, *map(str, arguments)], stdin=stdin, stderr=subprocess.PIPE,
                               preexec_fn=signals_as(ignored={signal.SIGINT}))
    try:
        wait_for_temporary(tmp_path, process)
        # Discarded as it is sent: the command then reads its input and finishes.
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(b"[1", timeout=60)
    finally:
        process.kill()
    assert (process.returncode, stderr) == (0, b"")
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    assert target.read_bytes() == b"[1]\n"


@posix_only
@pytest.mark.parametrize("mode", ["output", "in-place"])
def test_a_closed_pipe_removes_the_temporary_file(command, tmp_path, mode):
    # The reports of refused records go to a pipe nobody reads (`2>&1 | head`).
    records = b"[1\n" + b"[" * 129 + b"\n"
    source = write(tmp_path / "in.jsonl", records * 1000)
    arguments = ["--lines", "--on-error=skip"]
    arguments += ["--in-place", source] if mode == "in-place" else [source, "-o", tmp_path / "out.jsonl"]
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = subprocess.run([command, *map(str, arguments)], stderr=writer, preexec_fn=signals_as(), timeout=60)
    finally:
        os.close(writer)
    assert result.returncode == -signal.SIGPIPE
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl"]
    assert source.read_bytes() == records * 1000


def test_memory_is_the_input_and_the_output(command, tmp_path):
    piece = b'{"k":[1,2.5,"x",true,null],"s":"abcdefghij"},'
    document = write(tmp_path / "big.json", b"[" + piece * (100_000_000 // len(piece)) + b"0]")
    size = document.stat().st_size
    # A child's peak starts at its parent's size (fork), so the command is
    # started by a small interpreter rather than by this large one.
    measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True);"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    result = subprocess.run([sys.executable, "-c", measure, command, str(document)], capture_output=True, check=True)
    peak = int(result.stdout) * 1024  # kilobytes on Linux
    assert peak < 2 * size + (32 << 20), f"peak {peak >> 20} MB for {size >> 20} MB in and out"


# --in-place: replaced atomically, or not at all.
@posix_only
def test_in_place_replaces_each_file_and_keeps_its_mode(run, tmp_path):
    first = write(tmp_path / "a.json", "{'x': True}")
    second = write(tmp_path / "b.json", "[1, 2,")
    third = write(tmp_path / "c.json", "{c: 3")
    first.chmod(0o640)
    second.chmod(0o604)
    third.chmod(0o6755)  # set-user-ID and set-group-ID survive the change of owner
    result = run("--in-place", first, second, third)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert first.read_bytes() == b'{"x":true}\n'
    assert second.read_bytes() == b"[1,2]\n"
    assert third.read_bytes() == b'{"c":3}\n'
    assert stat.S_IMODE(first.stat().st_mode) == 0o640
    assert stat.S_IMODE(second.stat().st_mode) == 0o604
    assert stat.S_IMODE(third.stat().st_mode) == 0o6755
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.json", "b.json", "c.json"]


@posix_only
def test_in_place_follows_a_symbolic_link(run, tmp_path):
    target = write(tmp_path / "real.json", "[1,")
    link = tmp_path / "link.json"
    link.symlink_to(target.name)
    assert run("-i", link).returncode == 0
    assert link.is_symlink()
    assert target.read_bytes() == b"[1]\n"


@posix_only
def test_output_through_a_dangling_link_creates_its_target(run, tmp_path):
    (tmp_path / "sub").mkdir()
    link = tmp_path / "link.json"
    link.symlink_to("sub/hop.json")
    (tmp_path / "sub" / "hop.json").symlink_to("new.json")  # relative to the link's own directory
    assert run("-o", link, stdin=b"[1,").returncode == 0
    assert link.is_symlink() and (tmp_path / "sub" / "hop.json").is_symlink()
    assert (tmp_path / "sub" / "new.json").read_bytes() == b"[1]\n"


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


def test_file_names_beyond_ascii(run, tmp_path):
    source = write(tmp_path / "données-東京.json", "{'é': 1")
    target = tmp_path / "sortie-ü.json"
    assert run(source, "-o", target).returncode == 0
    assert target.read_bytes() == '{"é":1}\n'.encode()
    assert run("--in-place", source).returncode == 0
    assert source.read_bytes() == target.read_bytes()
    missing = tmp_path / "ñ.json"
    assert run(missing).stderr == f"{missing}: cannot open: No such file or directory\n".encode()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([source.name, target.name])


def test_missing_file_and_directory(run, tmp_path):
    missing = tmp_path / "missing.json"
    result = run(missing)
    assert result.returncode == 2
    assert result.stderr == f"{missing}: cannot open: No such file or directory\n".encode()
    result = run(tmp_path)
    assert result.returncode == 2
    assert result.stderr == f"{tmp_path}: cannot read: Is a directory\n".encode()


@posix_only
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


@posix_only
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
        (["--explain", "-o", "x.json"], b"--explain writes no repaired text"),
        (["--explain", "--indent", "2"], b"--explain cannot be used with --indent"),
        (["--explain", "--check"], b"--explain cannot be used with --check"),
        (["--explain", "--lines", "--on-error=skip"], b"--explain writes no records"),
        (["--explain", "--profile", "model"], b"--explain reports the default rules"),
        (["-j", "0", "--lines"], b"invalid value '0' for --jobs"),
        (["--profile", "fast"], b"invalid value 'fast' for --profile: expected default or model"),
        (["--profile=Model", "--lines"], b"invalid value 'Model' for --profile"),
        (["--profile"], b"option --profile needs a value"),
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


# --explain: the module's report of the same text, in lines a person reads.
def quoted(text):
    escapes = {"\\": "\\\\", "'": "\\'", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return "'" + "".join(escapes.get(c, "\\x%02x" % ord(c) if ord(c) < 32 or c == "\x7f" else c) for c in text) + "'"


def explained(corvane_report, name, text, first_line=None):
    """What --explain writes for `text`: the whole file, or its line `first_line`."""
    r = corvane_report.report(text)
    base = first_line or 1

    def place(offset):
        line_start = text.rfind("\n", 0, offset) + 1
        return "%s:%d:%d" % (name, base + text.count("\n", 0, offset), offset - line_start + 1)

    summary = name if first_line is None else "%s:%d" % (name, first_line)
    out = ["%s: %s: %s -> %s" % (place(e.start), e.kind, quoted(text[e.start:e.end]), quoted(e.text)) for e in r.edits]
    if r.error is not None:
        return out + ["%s: refused: %s" % (place(r.error_offset), r.error)]
    if not r.complete:
        out.append("%s: cut off: the input ended before the value did" % place(r.end))
    if not r.found:
        out.append("%s: no value found: the repair is null" % summary)
    elif text[:r.start].strip(BLANK) or text[r.end:].strip(BLANK):
        out.append("%s: dropped %d characters before the value and %d after" % (summary, r.start, len(text) - r.end))
    return out


EXPLAINED = [
    "Sure! Here it is:\n```json\n{'name': 'Zo\u00eb', age: 31, tags: [\"a\" \"b\",], ok: True, // note\n"
    ' "\u6771\u4eac": .5, "\U0001f600": {"k": [1, 2}\n```\nHope it helps!',
    '{"id": 2, "na',
    "I'm sorry, but I can't help with that.",
    '{"a": "tab\there\x01", "q": "he said "hi" ok"}',
    "[" * 129,
    "// nothing\n",
    '{\n  "valid": [1, 2.5e3, "\u00e9"]\n}\n',
]


@pytest.mark.parametrize("text", EXPLAINED)
def test_explain_lists_the_modules_report(run, tmp_path, text):
    corvane_report = pytest.importorskip("corvane_report")
    path = write(tmp_path / "reply.txt", text)
    result = run("--explain", path)
    assert result.stdout.decode().splitlines() == explained(corvane_report, str(path), text)
    assert (result.returncode, result.stderr) == (run("--check", path).returncode, b"")


def test_explain_lines_names_each_line(run):
    corvane_report = pytest.importorskip("corvane_report")
    records = ["{a: 1}", "", "[1, 2", "\u00e9\U0001f600 {'k': 'v'}\r", '{"ok": true}', "[" * 129]
    result = run("--explain", "--lines", stdin="\n".join(records).encode())
    expected = [line for number, record in enumerate(records, 1) if record.strip(BLANK)
                for line in explained(corvane_report, "<stdin>", record, number)]
    assert (result.returncode, result.stdout.decode().splitlines(), result.stderr) == (1, expected, b"")
    assert run("--explain", "--lines", stdin=b'{"ok": true}\n\n[]\n').returncode == 0
    invalid = run("--explain", stdin=b"[1, \x80]")
    assert (invalid.returncode, invalid.stdout) == (2, b"")
