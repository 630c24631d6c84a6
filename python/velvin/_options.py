"""The repair options accepted as keyword arguments, in the order the native reader reads them."""
from __future__ import annotations

import difflib
from typing import Any, Dict, Mapping, Optional

OPTION_NAMES = (
    "mode",
    "top_k",
    "beam_width",
    "max_repairs",
    "max_deleted_tokens",
    "max_close_open_string",
    "max_garbage_skip_bytes",
    "confidence_alpha",
    "partial_ok",
    "allow_single_quotes",
    "allow_unquoted_keys",
    "allow_unquoted_values",
    "allow_comments",
    "allow_python_literals",
    "allow_parallel",
    "parallel_threshold_bytes",
    "min_elements_for_parallel",
    "density_threshold",
    "parallel_chunk_bytes",
    "deterministic_seed",
    "debug",
    "parallel_workers",
    "parallel_backend",
    "scale_output",
    "scale_target_keys",
    "schema",
)

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
