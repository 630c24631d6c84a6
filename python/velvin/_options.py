"""The repair options accepted as keyword arguments, as the native reader lists them."""
from __future__ import annotations

import difflib
from typing import Any, Dict, Mapping, Optional, Tuple

import velvin_native as _native

# (name, type, default, description) per option, in the order the native reader reads them.
OPTION_TABLE: Tuple[Tuple[str, str, Any, str], ...] = _native.option_table_py()
OPTION_NAMES: Tuple[str, ...] = tuple(row[0] for row in OPTION_TABLE)

_KNOWN = frozenset(OPTION_NAMES)


def check_options(function: str, options: Mapping[str, Any]) -> Optional[Dict[str, Any]]:
    """Returns the options as a dict for the native layer (None when empty).

    The native reader silently ignores keys it does not know, so a misspelt option would quietly
    keep its default; here it is an error that names the valid options.
    """
    unknown = [name for name in options if name not in _KNOWN]
    if unknown:
        name = unknown[0]
        close = difflib.get_close_matches(name, OPTION_NAMES, n=1)
        hint = f" (did you mean {close[0]!r}?)" if close else ""
        raise TypeError(
            f"{function}() got an unexpected option {name!r}{hint}; "
            f"valid options: {', '.join(OPTION_NAMES)}"
        )
    return dict(options) if options else None
