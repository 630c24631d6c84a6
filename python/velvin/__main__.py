"""python -m velvin: repair model output into JSON from the shell.

Each FILE (or standard input) is one document, or with --jsonl each line is one; the best value
is printed as compact JSON on one line. Exit status: 0 when every document gave a value, 1 when
any failed, 2 for usage or I/O errors.
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List, Optional

from . import parse, schema_from
from ._options import OPTION_NAMES, OPTION_TABLE


def _bool(text: str) -> bool:
    lowered = text.strip().lower()
    if lowered in ("true", "1", "yes", "on"):
        return True
    if lowered in ("false", "0", "no", "off"):
        return False
    raise argparse.ArgumentTypeError(f"expected true or false, got {text!r}")


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m velvin", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("files", nargs="*", metavar="FILE", help="input files (default: standard input)")
    ap.add_argument("--document", action="store_true", help="print the whole result document")
    ap.add_argument("--jsonl", action="store_true", help="each input line is one document")
    opts = ap.add_argument_group("repair options")
    for name, kind, default, description in OPTION_TABLE:
        flag = "--" + name.replace("_", "-")
        shown = description.replace("%", "%%") + ("" if default is None else f" [{default}]")
        if kind == "bool":
            opts.add_argument(flag, dest=name, nargs="?", const=True, type=_bool, metavar="BOOL",
                              help=shown)
            opts.add_argument("--no-" + name.replace("_", "-"), dest=name, action="store_false")
        elif kind in ("uint", "optional_uint"):
            opts.add_argument(flag, dest=name, type=_count, metavar="N", help=shown)
        elif kind == "float":
            opts.add_argument(flag, dest=name, type=float, metavar="X", help=shown)
        elif kind == "text_list":
            opts.add_argument(flag, dest=name, metavar="K,...", help=shown,
                              type=lambda s: [k for k in s.split(",") if k])
        elif kind == "json":
            opts.add_argument(flag, dest=name, metavar="FILE", help=shown + " (a JSON file)")
        else:
            opts.add_argument(flag, dest=name, metavar="TEXT", help=shown)
    ap.set_defaults(**{name: None for name in OPTION_NAMES})
    return ap


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    options = {name: getattr(args, name) for name in OPTION_NAMES if getattr(args, name) is not None}
    for name, kind, _, _ in OPTION_TABLE:
        if kind == "json" and name in options:
            with open(options[name], encoding="utf-8") as f:
                options[name] = json.load(f)
    if "schema" in options:
        options["schema"] = schema_from(options["schema"])
    return options


def _repair(data: bytes, name: str, line: Optional[int], args: argparse.Namespace,
            options: Dict[str, Any], out: List[str]) -> bool:
    result = parse(data, **options)
    if args.document:
        out.append(json.dumps(result.to_dict(), ensure_ascii=False, separators=(",", ":")))
    elif result.ok:
        best = result.best
        out.append(best.normalized_json if best.normalized_json is not None
                   else json.dumps(best.ir, separators=(",", ":")))
    else:
        out.append("")
    if result.ok:
        return True
    errors = ", ".join(json.dumps({"kind": e.kind, "at": e.at, "message": e.message}) for e in result.errors)
    print(f"velvin: {name}:{line or 1}: {result.status}: {errors}", file=sys.stderr)
    return False


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        options = _options(args)
    except (OSError, ValueError) as e:
        print(f"velvin: --schema: {e}", file=sys.stderr)
        return 2
    all_ok = True
    for path in args.files or ["-"]:
        try:
            if path == "-":
                data = sys.stdin.buffer.read()
            else:
                with open(path, "rb") as f:
                    data = f.read()
        except OSError as e:
            print(f"velvin: {path}: {e.strerror}", file=sys.stderr)
            return 2
        name = "<stdin>" if path == "-" else path
        out: List[str] = []
        if args.jsonl:
            for number, line in enumerate(data.splitlines(), start=1):
                all_ok &= _repair(line, name, number, args, options, out)
        else:
            all_ok &= _repair(data, name, None, args, options, out)
        sys.stdout.write("".join(s + "\n" for s in out))
    sys.stdout.flush()
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
