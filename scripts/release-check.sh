#!/usr/bin/env bash
# Checks what a release uploads, on this machine: the sdist and the wheel that
# `python -m build` makes from it, as the package index and users will see them.
#   1. twine check --strict on both (metadata and README render);
#   2. the wheel: a cp38-abi3 tag, the files it must carry, the licence
#      metadata, classifiers the index knows, abi3audit --strict, and
#      auditwheel show naming a manylinux tag;
#   3. the sdist: the files a build and the tests need are in it (every
#      tracked file under src/ and stubs/), and nothing big or built;
#   4. the sdist installs into a fresh virtual environment, where the module
#      and the `corvane` command work and the sdist's own tests/python passes;
#   5. the sdist builds on the free-threaded CPython 3.13t (from
#      build-free-threaded.sh; skipped without it): a cp313-cp313t wheel with
#      version-specific libraries and a manylinux tag, whose modules import
#      with the GIL left off;
#   6. cibuildwheel, at the version the release workflow runs, selects for
#      every platform and architecture of pyproject.toml an abi3 build and a
#      cp314t one, and cp313t where the workflow enables it.
# Its tools come from PyPI into a throwaway venv; work files go to
# build/release-check/ (git-ignored). Exits non-zero if any check failed.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$ROOT/build/release-check"
# What the wheel must say, read from where each is written once.
VERSION="$(sed -n 's/^project(corvane VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
PY_API="$(sed -n 's/^wheel\.py-api = "\(cp3[0-9]*\)"$/\1/p' "$ROOT/pyproject.toml")"
export VERSION PY_API
PYTHON="${PYTHON:-python3}"
started=$SECONDS
failures=()

step() { printf '\n=== %s\n' "$*"; }
fail() { failures+=("$1"); echo "FAIL: $1"; }
ok() { echo "ok: $1"; }

rm -rf "$WORK"
mkdir -p "$WORK/run"

# The cibuildwheel the release workflow runs, written there once.
CIBUILDWHEEL="$(sed -n 's|.*uses: pypa/cibuildwheel@v\([0-9.]*\)$|\1|p' "$ROOT/.github/workflows/wheels.yml" | sort -u)"

step "tools (build, twine, abi3audit, auditwheel, trove-classifiers, cibuildwheel)"
if ! { "$PYTHON" -m venv "$WORK/tools" &&
    "$WORK/tools/bin/python" -m pip install -q --disable-pip-version-check \
        build twine abi3audit auditwheel trove-classifiers "cibuildwheel==$CIBUILDWHEEL"; } >"$WORK/tools.log" 2>&1; then
    tail -n 20 "$WORK/tools.log"
    echo "FAIL: could not install the tools (log: build/release-check/tools.log)"
    exit 1
fi
TOOLS="$WORK/tools/bin"
"$TOOLS/python" -m pip list --disable-pip-version-check 2>/dev/null |
    grep -iE '^(build|twine|abi3audit|auditwheel|trove-classifiers|cibuildwheel) '

step "python -m build: the sdist, then the wheel from it"
if ! (cd "$ROOT" && "$TOOLS/python" -m build -o "$WORK/dist" .) >"$WORK/build.log" 2>&1; then
    tail -n 40 "$WORK/build.log"
    echo "FAIL: python -m build (log: build/release-check/build.log)"
    exit 1
fi
sdists=("$WORK"/dist/*.tar.gz)
wheels=("$WORK"/dist/*.whl)
if [ "${#sdists[@]}" -ne 1 ] || [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${sdists[0]}" ] || [ ! -f "${wheels[0]}" ]; then
    ls -l "$WORK/dist"
    echo "FAIL: expected one sdist and one wheel in build/release-check/dist"
    exit 1
fi
SDIST="${sdists[0]}"
WHEEL="${wheels[0]}"
echo "sdist: $(basename "$SDIST") ($(wc -c <"$SDIST") bytes)"
echo "wheel: $(basename "$WHEEL") ($(wc -c <"$WHEEL") bytes)"

step "twine check --strict"
if "$TOOLS/twine" check --strict "$SDIST" "$WHEEL"; then
    ok "twine accepts both"
else
    fail "twine check --strict"
fi

step "wheel: tag, contents, licence metadata, classifiers"
if "$TOOLS/python" - "$WHEEL" <<'EOF'
import email.parser, os, re, sys, zipfile
import trove_classifiers

wheel = sys.argv[1]
version, py_api = os.environ["VERSION"], os.environ["PY_API"]
v = re.escape(version)
problems = []
# One file for every CPython from the floor on: the stable ABI, limited to it.
tags = re.fullmatch(r"corvane-%s-(%s)-(abi3)-(\w+)\.whl" % (v, py_api), wheel.rsplit("/", 1)[-1])
if not tags:
    problems.append("the file name has no corvane-%s-%s-abi3-<platform> tag" % (version, py_api))
names = set(zipfile.ZipFile(wheel).namelist())
wanted = [
    r"corvane\.abi3\.so",
    r"corvane\.pyi",
    r"corvane-stubs/__init__\.pyi",
    r"corvane_stream\.abi3\.so",
    r"corvane_stream\.pyi",
    r"corvane_stream-stubs/__init__\.pyi",
    r"corvane_batch\.abi3\.so",
    r"corvane_batch\.pyi",
    r"corvane_batch-stubs/__init__\.pyi",
    r"corvane_report\.abi3\.so",
    r"corvane_report\.pyi",
    r"corvane_report-stubs/__init__\.pyi",
    r"corvane_model\.abi3\.so",
    r"corvane_model\.pyi",
    r"corvane_model-stubs/__init__\.pyi",
    r"corvane-%s\.data/scripts/corvane" % v,
    r"corvane-%s\.dist-info/licenses/LICENSE" % v,
]
for pattern in wanted:
    if not any(re.fullmatch(pattern, name) for name in names):
        problems.append("missing from the wheel: " + pattern.replace("\\", ""))
metadata = email.parser.Parser().parsestr(
    zipfile.ZipFile(wheel).read("corvane-%s.dist-info/METADATA" % version).decode())
if metadata["License-Expression"] != "MIT":
    problems.append("License-Expression is %r, not 'MIT'" % metadata["License-Expression"])
if metadata.get_all("License-File") != ["LICENSE"]:
    problems.append("License-File is %r" % metadata.get_all("License-File"))
classifiers = metadata.get_all("Classifier") or []
for classifier in classifiers:
    # The index refuses unknown classifiers, and licence ones next to a
    # licence expression.
    if classifier not in trove_classifiers.classifiers:
        problems.append("classifier unknown to the index: " + classifier)
    if classifier.startswith("License ::"):
        problems.append("licence classifier beside License-Expression: " + classifier)
for version in range(8, 16):
    if "Programming Language :: Python :: 3.%d" % version not in classifiers:
        problems.append("no classifier for CPython 3.%d" % version)
for line in problems:
    print("  " + line)
print("%d files, %d classifiers, License-Expression %s" % (len(names), len(classifiers), metadata["License-Expression"]))
sys.exit(1 if problems else 0)
EOF
then
    ok "wheel tag, contents and metadata"
else
    fail "wheel tag, contents or metadata"
fi

step "abi3audit --strict"
if "$TOOLS/abi3audit" --strict --verbose "$WHEEL" >"$WORK/abi3audit.log" 2>&1; then
    abi3_summary="$(tr -s ' \n' ' ' <"$WORK/abi3audit.log" | grep -oE '[0-9]+ extensions? scanned;.*found' | head -n 1)"
    ok "abi3audit: ${abi3_summary:-no summary line}"
else
    cat "$WORK/abi3audit.log"
    abi3_summary="FAILED"
    fail "abi3audit --strict"
fi

step "auditwheel show"
"$TOOLS/auditwheel" show "$WHEEL" >"$WORK/auditwheel.log" 2>&1
auditwheel_status=$?
cat "$WORK/auditwheel.log"
# Its report wraps lines; the tag is the first quoted platform tag.
manylinux_tag="$(tr -s ' \n' ' ' <"$WORK/auditwheel.log" |
    grep -oE 'consistent with the following platform tag: "[^"]+"' | head -n 1 | cut -d'"' -f2)"
if [ "$auditwheel_status" -eq 0 ] && [[ "$manylinux_tag" =~ ^manylinux_2_[0-9]+_(x86_64|aarch64)$ ]]; then
    ok "auditwheel: $manylinux_tag"
else
    fail "auditwheel show names no manylinux tag (got '${manylinux_tag:-nothing}')"
fi

step "sdist contents"
tar -tzf "$SDIST" | sed 's|^[^/]*/||' | grep -v '/$' | grep -v '^$' | sort >"$WORK/sdist-files.txt"
if (cd "$ROOT" && git ls-files src stubs) >"$WORK/tracked.txt" 2>/dev/null && [ -s "$WORK/tracked.txt" ]; then
    :
else
    fail "no git file list of src/ and stubs/ to compare the sdist with"
fi
if "$TOOLS/python" - "$SDIST" "$WORK/sdist-files.txt" "$WORK/tracked.txt" <<'EOF'
import re, sys, tarfile

sdist, listed, tracked = sys.argv[1:]
files = open(listed).read().split()
problems = []
needed = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
          "src/module/CMakeLists.txt", "src/cli/CMakeLists.txt",
          "stubs/CMakeLists.txt", "stubs/corvane.pyi",
          "tests/python/conftest.py", "examples/broken.json"]
needed += open(tracked).read().split()
for name in needed:
    if name not in files:
        problems.append("missing: " + name)
# Build trees, the repository's own test corpora and tools, compiled files.
unwanted = re.compile(r"(^|/)(build[^/]*|dist|\.git|\.github|\.ci|__pycache__|\.hypothesis"
                      r"|\.pytest_cache|\.mypy_cache)/|^(fuzz|benchmarks|scripts|tests/(cpp|data|faults))/"
                      r"|\.(so|o|a|pyd|dll|dylib|exe|pyc|whl|tar\.gz)$")
for name in files:
    if unwanted.search(name):
        problems.append("should not be in the sdist: " + name)
with tarfile.open(sdist) as archive:
    sizes = {m.name.split("/", 1)[-1]: m.size for m in archive.getmembers() if m.isfile()}
for name, size in sizes.items():
    if size > 200_000:
        problems.append("larger than 200 kB: %s (%d bytes)" % (name, size))
total = sum(sizes.values())
if total > 2_000_000:
    problems.append("%d bytes unpacked, more than 2 MB" % total)
for line in problems[:20]:
    print("  " + line)
if len(problems) > 20:
    print("  ... and %d more" % (len(problems) - 20))
print("%d files, %d bytes unpacked" % (len(files), total))
sys.exit(1 if problems else 0)
EOF
then
    ok "the sdist holds what a build and the tests need, and nothing more"
else
    fail "sdist contents"
fi
sdist_summary="$(wc -l <"$WORK/sdist-files.txt") files, $(wc -c <"$SDIST") bytes"

step "install the sdist into a fresh virtual environment"
VENV="$WORK/from-sdist"
if { "$PYTHON" -m venv "$VENV" &&
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "$SDIST" pytest hypothesis; } >"$WORK/install.log" 2>&1; then
    ok "pip install $(basename "$SDIST") (built from the sdist)"
    # From outside the tree, so only the installed module can be imported.
    if (cd "$WORK/run" && "$VENV/bin/python" - "$VENV" <<'EOF'
import os, pathlib, sys
import corvane

where = pathlib.Path(corvane.__file__).resolve()
print("corvane", corvane.__version__, "from", where)
assert pathlib.Path(sys.argv[1]).resolve() in where.parents, "not the venv's module"
assert corvane.__version__ == os.environ["VERSION"], corvane.__version__
assert corvane.repair("{'a': 1, b: [1 2,]") == '{"a":1,"b":[1,2]}'
assert corvane.loads("[True, None]") == [True, None]
from corvane_stream import RepairStream
stream = RepairStream()
for chunk in ("{'a': [1, ", "2]"):
    stream.feed(chunk)
assert stream.snapshot() == '{"a":[1,2]}' and stream.close() == '{"a":[1,2]}'
EOF
    ); then
        ok "corvane.repair and corvane_stream from the sdist install"
    else
        fail "the module installed from the sdist"
    fi
    command_version="$("$VENV/bin/corvane" --version 2>&1)"
    command_output="$(printf "{'a': 1,}" | "$VENV/bin/corvane" 2>&1)"
    if [ "$command_version" = "corvane $VERSION" ] && [ "$command_output" = '{"a":1}' ]; then
        ok "the corvane command: '$command_version', repairs {'a': 1,} to $command_output"
    else
        fail "the corvane command from the sdist install (--version: '$command_version', output: '$command_output')"
    fi
    # The sdist's own copy of the Python suite, run against that install.
    mkdir -p "$WORK/sdist-tree"
    tar -xzf "$SDIST" -C "$WORK/sdist-tree"
    suite="$(echo "$WORK"/sdist-tree/*/tests/python)"
    if (cd "$WORK/run" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$suite") >"$WORK/pytest.log" 2>&1; then
        ok "the sdist's tests/python: $(grep -E '[0-9]+ passed' "$WORK/pytest.log" | tail -n 1 | sed 's/=//g; s/^ *//; s/ *$//')"
    else
        tail -n 30 "$WORK/pytest.log"
        fail "the sdist's tests/python against the sdist install (log: build/release-check/pytest.log)"
    fi
else
    tail -n 30 "$WORK/install.log"
    fail "pip install of the sdist into a fresh venv (log: build/release-check/install.log)"
fi

step "free-threaded CPython 3.13t: a wheel from the sdist"
FT_PYTHON="$(bash "$ROOT/scripts/build-free-threaded.sh")" || FT_PYTHON=""
ft_summary="skipped (no free-threaded CPython)"
if [ -n "$FT_PYTHON" ]; then
    if (cd "$WORK/run" && "$FT_PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps \
        -w "$WORK/ft-dist" "$SDIST") >"$WORK/ft-build.log" 2>&1; then
        FT_WHEEL="$(echo "$WORK"/ft-dist/*.whl)"
        ft_summary="$(basename "$FT_WHEEL")"
        ok "built $ft_summary"
        names="$("$TOOLS/python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$FT_WHEEL")"
        if [[ "$ft_summary" =~ ^corvane-${VERSION//./\\.}-cp313-cp313t-linux_(x86_64|aarch64)\.whl$ ]] &&
            grep -qx 'corvane\.cpython-313t-[^/]*\.so' <<<"$names" &&
            grep -qx 'corvane_stream\.cpython-313t-[^/]*\.so' <<<"$names" &&
            grep -qx 'corvane_model\.cpython-313t-[^/]*\.so' <<<"$names" &&
            ! grep -q 'abi3' <<<"$names"; then
            ok "cp313-cp313t tag and version-specific libraries"
        else
            echo "$names"
            fail "the free-threaded wheel's tag or libraries"
        fi
        ft_tag="$("$TOOLS/auditwheel" show "$FT_WHEEL" 2>&1 | tr -s ' \n' ' ' |
            grep -oE 'consistent with the following platform tag: "[^"]+"' | head -n 1 | cut -d'"' -f2)"
        if [[ "$ft_tag" =~ ^manylinux_2_[0-9]+_(x86_64|aarch64)$ ]]; then
            ok "auditwheel: $ft_tag"
        else
            fail "auditwheel show names no manylinux tag for the free-threaded wheel (got '${ft_tag:-nothing}')"
        fi
        if { "$FT_PYTHON" -m venv "$WORK/ft-venv" &&
            "$WORK/ft-venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$FT_WHEEL" &&
            (cd "$WORK/run" && env -u PYTHON_GIL "$WORK/ft-venv/bin/python" -c '
import sys, corvane, corvane_stream, corvane_batch, corvane_model
assert corvane.repair("{a: [1 2") == "{\"a\":[1,2]}"
assert not sys._is_gil_enabled(), "importing the modules turned the GIL back on"'); } >"$WORK/ft-install.log" 2>&1; then
            ok "the modules import on 3.13t with the GIL left off, and repair"
        else
            tail -n 20 "$WORK/ft-install.log"
            fail "the free-threaded wheel on 3.13t (log: build/release-check/ft-install.log)"
        fi
    else
        tail -n 30 "$WORK/ft-build.log"
        ft_summary="FAILED"
        fail "pip wheel of the sdist on 3.13t (log: build/release-check/ft-build.log)"
    fi
fi

step "cibuildwheel $CIBUILDWHEEL: the builds selected for each platform"
if "$TOOLS/python" - "$ROOT" "$TOOLS/cibuildwheel" <<'EOF'
import os, subprocess, sys, tomllib

root, cibuildwheel = sys.argv[1:]
config = tomllib.load(open(os.path.join(root, "pyproject.toml"), "rb"))["tool"]["cibuildwheel"]
problems = []
total = 0
# As the workflow runs it: by default, then with 3.13t enabled.
for platform in ("linux", "macos", "windows"):
    for enable in ("", "cpython-freethreading"):
        env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
        if enable:
            env["CIBW_ENABLE"] = enable
        ids = subprocess.run([cibuildwheel, "--print-build-identifiers", "--platform", platform],
                             cwd=root, env=env, capture_output=True, text=True, check=True).stdout.split()
        total += len(ids) if enable else 0
        for arch in config[platform]["archs"]:
            mine = [i for i in ids if i.lower().endswith(arch.lower())]
            kinds = {"abi3": ("cp38-", "cp39-"), "cp314t": ("cp314t-",)}
            if enable:
                kinds["cp313t"] = ("cp313t-",)
            for kind, prefixes in kinds.items():
                if not any(i.startswith(prefixes) for i in mine):
                    problems.append("%s %s%s: no %s build" % (platform, arch, " with " + enable if enable else "", kind))
for line in problems:
    print("  " + line)
print("%d builds over the three platforms with 3.13t enabled" % total)
sys.exit(1 if problems else 0)
EOF
then
    ok "an abi3, a cp314t and (enabled) a cp313t build for every platform and architecture"
else
    fail "cibuildwheel's build selection"
fi

step "summary"
echo "sdist:      $(basename "$SDIST") ($sdist_summary)"
echo "wheel:      $(basename "$WHEEL")"
echo "abi3audit:  $abi3_summary"
echo "auditwheel: ${manylinux_tag:-none}"
echo "3.13t:      $ft_summary"
echo "time:       $((SECONDS - started)) s"
if [ "${#failures[@]}" -ne 0 ]; then
    echo "${#failures[@]} check(s) failed:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
echo "every release check passed"
