"""Repairing collections larger than one machine: velvin over Dask bags and dataframe columns.

    >>> import dask.bag as db, velvin.dask
    >>> records = velvin.dask.parse_bag(db.from_sequence(texts, npartitions=64))
    >>> records.filter(lambda r: r["status"] != "failed").pluck("value").compute()

Each partition goes through `velvin.parse_many` in one task, so a worker pays the task overhead
once per partition, not once per text. Dask is needed only by this module; `import velvin` does
not import it. The options are those of `velvin.parse` and are checked when the graph is built,
so a misspelt one raises here, not later inside a worker.
"""
from __future__ import annotations

from typing import Any, Dict, Iterable, Iterator, List

from dask import bag as _bag

import velvin
from . import _check_batch

SERIES_COLUMNS = ("value", "json", "status", "confidence")

# Each partition is one task on one worker thread; Dask already spreads partitions over every
# worker thread, so a batch inside a task must not start threads of its own.
_JOBS_PER_TASK = 1
# Texts per parse_many call. A whole partition's full results alive at once (the documents and
# their typed views, hundreds of objects per text) made the collector's full passes take half
# of a worker's time; slices of this size are converted and dropped before the next is parsed.
_SLICE = 256


def parse_bag(bag: _bag.Bag, **options: Any) -> _bag.Bag:
    """A bag of records {"status", "value", "confidence", "repairs"}, one per text of `bag`
    (str or bytes), in the same order.

    "repairs" is the number of repairs the best candidate needed. When the status is "failed",
    "value" and "confidence" are None and "repairs" is 0.
    """
    if not isinstance(bag, _bag.Bag):
        raise TypeError(f"parse_bag() takes a dask.bag.Bag, not {type(bag).__name__}")
    checked = _check_batch("parse_bag", _JOBS_PER_TASK, options) or {}
    return bag.map_partitions(_records, checked)


def parse_series(series: "dask.dataframe.Series", **options: Any) -> "dask.dataframe.DataFrame":
    """A dataframe with the index of `series` (a column of texts) and the columns "value",
    "json" (the value as compact JSON text), "status" and "confidence", all of object dtype.

    When the status is "failed", "value", "json" and "confidence" are None; a found null value
    has "json" equal to "null".
    """
    import pandas as pd  # only here: a bag needs neither pandas nor dask.dataframe
    from dask import dataframe as dd

    if not isinstance(series, dd.Series):
        raise TypeError(f"parse_series() takes a dask.dataframe.Series, not {type(series).__name__}")
    checked = _check_batch("parse_series", _JOBS_PER_TASK, options) or {}
    meta = pd.DataFrame({name: pd.Series(dtype=object) for name in SERIES_COLUMNS},
                        index=series._meta.index)
    return series.map_partitions(_frame, checked, meta=meta)


def _parsed(texts: Iterable[Any], options: Dict[str, Any]) -> Iterator[velvin.ParseResult]:
    texts = list(texts)
    for start in range(0, len(texts), _SLICE):
        yield from velvin.parse_many(texts[start:start + _SLICE], _JOBS_PER_TASK, **options)


def _records(texts: Iterable[Any], options: Dict[str, Any]) -> List[Dict[str, Any]]:
    return [_record(r) for r in _parsed(texts, options)]


def _record(result: velvin.ParseResult) -> Dict[str, Any]:
    best = result.best
    if best is None:
        return {"status": result.status, "value": None, "confidence": None, "repairs": 0}
    return {"status": result.status, "value": best.value, "confidence": best.confidence,
            "repairs": len(best.repairs)}


def _frame(texts: "pandas.Series", options: Dict[str, Any]) -> "pandas.DataFrame":
    import pandas as pd

    missing = texts.isna()
    if missing.any():
        label = texts.index[missing.to_numpy().argmax()]
        raise TypeError(f"parse_series() found a missing text at index {label!r}; drop or fill "
                        "missing texts first (series.dropna() or series.fillna(''))")
    columns: Dict[str, List[Any]] = {name: [] for name in SERIES_COLUMNS}
    for r in _parsed(texts.tolist(), options):
        best = r.best
        columns["value"].append(None if best is None else best.value)
        columns["json"].append(None if best is None else best.normalized_json)
        columns["status"].append(r.status)
        columns["confidence"].append(None if best is None else best.confidence)
    # Object columns given explicitly: left to itself pandas would infer dtypes (float for the
    # confidences, NaN for None), which would not match the declared meta.
    return pd.DataFrame({name: pd.Series(col, index=texts.index, dtype=object)
                         for name, col in columns.items()}, index=texts.index)


__all__ = ["SERIES_COLUMNS", "parse_bag", "parse_series"]
