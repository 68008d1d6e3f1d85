#!/usr/bin/env python3
"""How often a repair module gives the value a user wants from model replies.

Reads the two sets in tests/data/model-replies/: rules.jsonl (rows per rule of
the model profile, rule 0 being valid JSON and ordinary repairs) and
heldout.jsonl (realistic replies by family). Each row holds an "input" and
either the "want"ed value or "refused": true where no one reading can be
chosen. For every module named, each input goes through module.loads and
counts as:

  wanted   the wanted value (JSON-equal: object member order is ignored,
           true is not 1), or a refusal where a refusal is wanted
  refused  a ValueError from the repair where a value is wanted
  other    any other value, or a value where a refusal is wanted

  python3 benchmarks/model_replies.py                       # corvane
  python3 benchmarks/model_replies.py --module corvane --module corvane_model
  python3 benchmarks/model_replies.py --misses              # list what went wrong

Nothing here passes or fails: it prints figures for a person to read.
"""

import argparse
import importlib
import json
import sys
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent.parent / "tests" / "data" / "model-replies"
SETS = (("rules", "rule"), ("heldout", "family"))


def load_set(name):
    """The rows of one set, each line parsed as JSON."""
    with open(DATA_DIR / f"{name}.jsonl", encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def json_equal(a, b):
    """Equal as JSON values: numbers by value, but a boolean is never a number."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def judge(module, row):
    """('wanted' | 'refused' | 'other', what the module gave) for one row."""
    try:
        got = module.loads(row["input"])
    except ValueError as e:
        # json.JSONDecodeError is a ValueError too, but invalid output is no refusal.
        if isinstance(e, json.JSONDecodeError):
            return "other", f"invalid JSON out: {e}"
        return ("wanted" if row.get("refused") else "refused"), f"refused: {e}"
    if row.get("refused"):
        return "other", got
    return ("wanted" if json_equal(got, row["want"]) else "other"), got


def report(module_name, module, show_misses):
    print(f"## {module_name}")
    for set_name, group_key in SETS:
        rows = load_set(set_name)
        groups = {}
        misses = []
        for row in rows:
            verdict, got = judge(module, row)
            counts = groups.setdefault(row[group_key], {"rows": 0, "wanted": 0, "refused": 0, "other": 0})
            counts["rows"] += 1
            counts[verdict] += 1
            if verdict != "wanted":
                misses.append((row, verdict, got))
        print(f"\n{set_name}.jsonl ({len(rows)} rows, "
              f"{sum(1 for r in rows if r.get('refused'))} of them wanting a refusal)")
        print(f"{group_key:<16} {'rows':>5} {'wanted':>7} {'refused':>8} {'other':>6} {'share':>7}")
        total = {"rows": 0, "wanted": 0, "refused": 0, "other": 0}
        for key in sorted(groups, key=str):
            c = groups[key]
            for k in total:
                total[k] += c[k]
            print(f"{str(key):<16} {c['rows']:>5} {c['wanted']:>7} {c['refused']:>8} {c['other']:>6} "
                  f"{c['wanted'] / c['rows']:>7.0%}")
        print(f"{'total':<16} {total['rows']:>5} {total['wanted']:>7} {total['refused']:>8} {total['other']:>6} "
              f"{total['wanted'] / total['rows']:>7.1%}")
        if show_misses:
            for row, verdict, got in misses:
                want = "a refusal" if row.get("refused") else json.dumps(row["want"], ensure_ascii=False)
                shown = got if isinstance(got, str) and verdict == "refused" else json.dumps(got, ensure_ascii=False)
                print(f"  [{row[group_key]}] {verdict}: {json.dumps(row['input'], ensure_ascii=False)}\n"
                      f"      got  {shown}\n      want {want}")
    print()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", action="append", dest="modules",
                        help="a module with loads(text), e.g. corvane or corvane_model (repeatable; default corvane)")
    parser.add_argument("--misses", action="store_true", help="list every row that did not give the wanted value")
    args = parser.parse_args(argv)
    for name in args.modules or ["corvane"]:
        try:
            module = importlib.import_module(name)
        except ImportError as e:
            print(f"## {name}: skipped, the module is not importable ({e})\n")
            continue
        report(name, module, args.misses)
    return 0


if __name__ == "__main__":
    sys.exit(main())
