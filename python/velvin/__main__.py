"""The `velvin` command and `python -m velvin`: the velvin tool itself.

The package carries the native tool (velvin/bin/velvin, built with the extension); this launcher
runs it with the same arguments and no shell, so every flag of the tool works from a pip install
and there is one option parser, the tool's. `velvin --help` lists the flags. In a build tree,
where the package has no copy, the tool built beside the extension module (bin/velvin next to
the python/ folder that holds velvin_native) is run instead.
"""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import List, Optional


def tool_places() -> List[Path]:
    """Where the tool is looked for, in order."""
    places = [Path(__file__).resolve().parent / "bin" / "velvin"]
    try:
        import velvin_native
    except ImportError:
        return places
    places.append(Path(velvin_native.__file__).resolve().parent.parent / "bin" / "velvin")
    return places


def tool_path() -> Optional[Path]:
    """The native tool, or None when this installation has none."""
    return next((p for p in tool_places() if p.is_file() and os.access(p, os.X_OK)), None)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the tool with `argv` (default: this process's arguments). From the command line the
    tool replaces this process, so its exit status and signals are the command's; called with
    `argv` it runs as a child and its exit status is returned."""
    tool = tool_path()
    if tool is None:
        looked = ", ".join(str(p) for p in tool_places())
        print(f"velvin: the velvin tool is missing from this installation (looked for {looked}); "
              "reinstall the velvin package", file=sys.stderr)
        return 2
    if argv is not None:
        return subprocess.run([str(tool), *argv]).returncode
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(str(tool), [str(tool), *sys.argv[1:]])
    return 2  # not reached: execv returns only by raising


if __name__ == "__main__":
    sys.exit(main())
