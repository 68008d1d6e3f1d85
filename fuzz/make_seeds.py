#!/usr/bin/env python3
"""Seed inputs for the fuzz targets.

With no arguments, (re)writes fuzz/corpus/edge/: one file per hand-picked
edge-case input (the awkward corners of framing, scalars, containers, strings
and escaping). Those files are committed and replayed as a test.

With --work DIR, also fills DIR with seeds cut from real documents: the
conformance suite and sub-documents of the benchmark files (kept small so
the fuzzer stays fast). DIR is scratch space and never committed.
"""
import argparse
import hashlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

FENCE = b"```"
BOM = b"\xef\xbb\xbf"

EDGE_INPUTS = [
    # framing, prose and the first value
    b"", b"   ", b"// note", b"/* x */", b"}", b",", b"]", b":", b"!!1", b"#1",
    b'Here is the JSON: {"a": 1}', b"123 [1]", b'"hello" {"a":1}', b'1 // {"a":1}',
    b"123", b"abc", b'{"a":1} xyz', b"[1] [2]", BOM + b"123", b" " + BOM + b"123",
    FENCE + b'json\n{"a":1}\n' + FENCE,
    FENCE + b'json\r\n  {"a":1}\r\n' + FENCE,
    b"  " + FENCE + b'  {"a":1}', FENCE, FENCE + b"json", FENCE + b'{"a":1}' + FENCE,
    b'"abc   ', b'"abc\n' + FENCE, b'{"a":1}' + FENCE, b"x" + FENCE,
    FENCE + b"json\n[1]\n" + FENCE + b"\n\nmore",
    b"abc\x0cdef", b"abc\x0bdef", b"123\x0b", b"a/b", b"a//b", b"a/*b*/x", b"/*/1",
    b"/*/ 1 */2", b"// note\r1", b'"/*" [1]', b"x /* { */ [1]",
    b"The user's data: {\"a\":1}", b"5'6 [4]", b"5' [4]", b"a' {\"b\":1}",
    "café's {\"a\":1}".encode(), b"'a {\"b\":1}", b'x "a\\\\" [8]',
    # nesting limit
    b"[" * 128, b"[" * 129, b"[" * 128 + b"1", b"[" * 129 + b"1",
    b"[" * 127 + b'{"a":{}}', b"[" * 127 + b"{[[[", b"{\"a\":" * 130,
    # scalars
    b"1 2", b"{}{}", b"- 5", b"+5", b"-", b"+", b".", b"-.", b".5", b"5.", b"-05", b"007",
    b"000", b"-00", b"00.00", b"0.50", b"1E5", b"1e", b"1E+", b"1e-", b"1e+05", b"-1.5E-3",
    b"1.e5", b".e5", b"-.E+", b"1.2.3", b"12abc", b"0x1F", b"1_000", b"-e5", b"--5", b"1-2",
    b"1e+-5", b"1e5.5", b"1/2", b"-Infinity", b"[1;2]", b"1//x\n", b"true", b"True",
    b"false", b"False", b"null", b"Null", b"none", b"None", b"TRUE", b"FALSE", b"NULL",
    b"nUll", b"nul", b"NaN", b"Infinity", b"undefined", b"tru e", b"a\x0bb", b"[-,1]",
    b"[+]", b"[.]", b"1e999", b"-1e-999", b"9" * 400,
    # containers
    b"[ ]", b"{ }", b"[1 2 3]", b"[1,,2]", b"[,1]", b"[1,]", b"[1:2]", b"[1 \\ 2]",
    b"[1 # x\n2]", b"[[1][2]]", b"[{}{}]", b"[1, 2", b"[[[", b'{"a": [1, {"b": 2',
    b"[1}", b'{"a":1]', b"[}", b"{]", b'{"a":{"b":1]}', b"[[1}]", b'{"a":[1]]}', b'{"a"',
    b'{"a":', b"{a", b'{"a":1,', b'{"a":[}', b"[{]", b'[{"a":1]]', b'{"a":1,}',
    b'{,"a":1}', b'{"a":1,,"b":2}', b'{"a":1 , , }', b'{"a":1 "b":2}',
    b'{"a":{"b":1}"k":2}', b'{"a":1 b:2}', b'{"a" 1}', b'{"a" "b"}', b'{"a"::1}',
    b'{"a" = 1}', b'{"a" => 1}', b'{"a":}', b'{"a"}', b'{"a":{"b"}}', b"{a b k}",
    b"{a:b:k}", b"{a:1}", b"{1:2}", b"{-1:2}", b"{-:1}", b"{true:1}", b"{+a:1}", b"{.5:1}",
    b"{:1}", b"{:}", b"{[1]}", b"{'a':'b', \"k\": 'd'}", b'{"a":1,"a":2}', b'{"a":[1 "b":2}',
    b'{"a":1} trailing',
    # strings
    b'"abc', b'"abc  \n\n', b'"', b"'abc'", b"'it\"s'", b"\"it's\"", b"'it\\'s'",
    b'"a\\/b"', b'"\\b\\f\\n\\r\\t"', b'"\\u00E9"', b'"\\u12"', b'"\\u', b'"\\uZZ"',
    b'"\\u12345"', b'"\\x41"', b'"abc\\', b'"a\tb"', b'"a\nb"', b'"a\x0cb"', b'"a"b"',
    b'{"a": "x" "b": 1}', b'{"a": "x" b: 1}', b'{"a": "x" /*x*/ b /*y*/ : 1}',
    b'{"a": "x" b/q: 1}', '{"a": "x"é: 1}'.encode(), b'{"a": "x\\"y"}', b'{"a": "x}',
    b'{"a": "x" /* unterminated', b'{"a": ["x" y]}', b'{"a": "he said "hi" ok"}',
    b'["he said "hi" ok"]', b'x {"a": "he said "hi" ok"}', b"{'a': 'it's'}",
    b'{"a": "x" 5}', b'{"a": "x" true}', b'{"a": "x" b}', b'{"a": "x"-1}', b'{"a": "x" b',
    b'{"a": "" b}', b'{"a": {"b": "x" y}}', b'{"a"b": 1}', b'{"a": "x"+1}', b'{"a": "x"\x0b}',
    "\"é€😀\"".encode(), b'"\\\xc3\xa9"', b'"\\ud800"', b'"\\udc00\\ud800"',
    b'"\\ud83d\\ude00"', b'{"a": "\\ud800" b: 1}',
    # escaping
    b'"a\x01b\x1fx\x7fd\x08e\x0bf"', b'"a\x00b"', b"a\\b", b"{a\\b: 1}", b'"\x1b"',
    # the worked example
    b"Sure! Here it is:\n" + FENCE + b"json\n{'name': 'Ann', age: 31, tags: [\"a\" \"b\",],"
    b" active: True, note: None, // comment\n \"score\": .5, nested: {\"k\": [1, 2}\n" + FENCE,
    # the model profile: reasoning, fences after prose, escapes, literals,
    # typography, runs of words, quotes inside strings
    b"<think>{a}</think>[1]", b"<THINKING>x</reasoning>{}", b"<think>[1", b"<thinker>[1]",
    b"See [x]:\n" + FENCE + b"json\n[1, 2]\n" + FENCE + b"\n[3]", b"So:\n" + FENCE + b"\n[\"a " + FENCE,
    b'["\\d", "\\\'", "\\user", "\\u12"]', b"[(1, 2), {3, 4}, (5,)]", b"{'a': 1, # c\n}",
    b"[rb'x', f\"y\", `z\\`w`, undefined]", "[“a”，‘b’，“it’s”]".encode(), "{城市：北京}".encode(),
    b"[1 2 3, true False, red apple]", b"{a: b c  d, u: https://x.com/a, t: 12:30}",
    b'["He said "no"", "ok"]', b'{"h": "<a href="x">l</a>", "n": 1}', b'["tell "x", "y"]',
    b'{"e": "bad "}" here"}', b'{"a": "x" b: 1, "c": "y" "d": 2}', b'{"c": "echo "a", "b""}',
]


def write_edge(directory):
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        os.remove(os.path.join(directory, name))
    for number, data in enumerate(EDGE_INPUTS):
        with open(os.path.join(directory, "edge-%03d" % number), "wb") as out:
            out.write(data)
    return len(EDGE_INPUTS)


def sub_documents(value, limit, found):
    """Collects compact and indented texts of the containers inside `value`
    that fit in `limit` bytes, largest first."""
    if isinstance(value, (dict, list)):
        text = json.dumps(value, ensure_ascii=False)
        if len(text.encode()) <= limit:
            found.append(text)
            return
        children = value.values() if isinstance(value, dict) else value
        for child in children:
            sub_documents(child, limit, found)


def write_work(directory, per_file=150, limit=4096):
    os.makedirs(directory, exist_ok=True)
    count = 0

    def save(data):
        nonlocal count
        name = hashlib.sha1(data).hexdigest()
        path = os.path.join(directory, name)
        if not os.path.exists(path):
            with open(path, "wb") as out:
                out.write(data)
            count += 1

    for data in EDGE_INPUTS:
        save(data)
    suites = [os.path.join(ROOT, "tests", "data", "jsontestsuite", "test_parsing"),
              os.path.join(ROOT, "..", "shared", "data", "jsontestsuite", "test_parsing")]
    for suite in suites:
        if os.path.isdir(suite):
            for name in sorted(os.listdir(suite)):
                with open(os.path.join(suite, name), "rb") as f:
                    save(f.read())
            break
    else:
        print("make_seeds: no conformance suite found, skipped", file=sys.stderr)
    with open(os.path.join(ROOT, "benchmarks", "data-path.txt")) as f:
        bench = os.path.normpath(os.path.join(ROOT, f.readline().strip()))
    if not os.path.isdir(bench):
        print("make_seeds: %s not found, no benchmark seeds" % bench, file=sys.stderr)
        return count
    for name in sorted(os.listdir(bench)):
        if not name.endswith(".json"):
            continue
        with open(os.path.join(bench, name), "rb") as f:
            value = json.loads(f.read().decode("utf-8"))
        found = []
        sub_documents(value, limit, found)
        # Spread the picks over the document rather than taking its head.
        step = max(1, len(found) // per_file)
        for index, text in enumerate(found[::step][:per_file]):
            data = text.encode()
            if index % 3 == 1:
                data = json.dumps(json.loads(text), indent=2, ensure_ascii=False).encode()
            save(data)
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", help="also build a scratch corpus from real documents here")
    args = parser.parse_args()
    edge = write_edge(os.path.join(HERE, "corpus", "edge"))
    print("make_seeds: %d edge inputs in fuzz/corpus/edge" % edge)
    if args.work:
        made = write_work(args.work)
        print("make_seeds: %d new seeds in %s" % (made, args.work))


if __name__ == "__main__":
    main()
