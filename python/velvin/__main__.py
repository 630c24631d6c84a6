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

from . import OPTION_NAMES, parse, schema_from

_BOOLEAN = {"partial_ok", "allow_single_quotes", "allow_unquoted_keys", "allow_unquoted_values",
            "allow_comments", "allow_python_literals", "debug"}
_COUNT = {"top_k", "beam_width", "max_repairs", "max_deleted_tokens", "max_close_open_string",
          "max_garbage_skip_bytes", "parallel_threshold_bytes", "min_elements_for_parallel",
          "parallel_chunk_bytes", "deterministic_seed", "parallel_workers"}
_REAL = {"confidence_alpha", "density_threshold"}


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
    for name in OPTION_NAMES:
        flag = "--" + name.replace("_", "-")
        if name in _BOOLEAN:
            opts.add_argument(flag, dest=name, nargs="?", const=True, type=_bool, metavar="BOOL")
            opts.add_argument("--no-" + name.replace("_", "-"), dest=name, action="store_false")
        elif name in _COUNT:
            opts.add_argument(flag, dest=name, type=_count, metavar="N")
        elif name in _REAL:
            opts.add_argument(flag, dest=name, type=float, metavar="X")
        elif name == "scale_target_keys":
            opts.add_argument(flag, dest=name, metavar="K,...",
                              type=lambda s: [k for k in s.split(",") if k])
        elif name == "schema":
            opts.add_argument(flag, dest=name, metavar="FILE", help="schema JSON file")
        else:
            opts.add_argument(flag, dest=name, metavar="TEXT")
    ap.set_defaults(**{name: None for name in OPTION_NAMES})
    return ap


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    options = {name: getattr(args, name) for name in OPTION_NAMES if getattr(args, name) is not None}
    if "schema" in options:
        with open(options["schema"], encoding="utf-8") as f:
            options["schema"] = schema_from(json.load(f))
    if options.get("parallel_workers") == 0:
        del options["parallel_workers"]
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
