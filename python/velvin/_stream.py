"""Values of a JSON document while its text is still arriving (a model streaming its reply)."""
from __future__ import annotations

import threading
from typing import Any, Iterable, Iterator, Union

import velvin_native as _native

from ._options import check_options
from ._result import ParseResult, _made_from

Chunk = Union[str, bytes, bytearray, memoryview]


class StreamParser:
    """Follows one JSON value while its text arrives in pieces.

        >>> p = StreamParser()
        >>> p.feed('Sure: {"name": "Ad')
        {'name': 'Ad'}
        >>> p.feed('a", "tags": ["x", tr')
        {'name': 'Ada', 'tags': ['x']}
        >>> p.feed('ue]}')
        {'name': 'Ada', 'tags': ['x', True]}
        >>> p.close().value
        {'name': 'Ada', 'tags': ['x', True]}

    `feed(chunk)` returns the value so far, or None until a "{" or "[" has arrived (text before
    it, such as prose or a code fence line, is skipped). Values do not flicker: a member or
    element that was complete in one value is the same in every later one; only the last, still
    open part at each level changes. A string shows its text so far and only grows; a number
    shows its digits so far; a key, a literal such as `true` and a bare word appear only once
    complete, and a member only once its value has begun; a repeated key keeps its first value
    (close() keeps the last, as velvin.parse does). Completed parts are shared between the
    values returned, so treat them as read-only (copy.deepcopy before changing one).

    The reader is lenient and never fails: single quotes, bare keys and words, Python literals,
    missing or trailing commas, comments and typographic double quotes are read as the repair
    pipeline reads them, and what it cannot place is dropped. After the root value closes, the
    rest of the text is kept for close() but no longer read.

    `close()` returns the ParseResult of the whole text: exactly what `velvin.parse` of all the
    chunks joined, with the same options, returns. Closing again returns the same result;
    feeding after close raises ValueError.

    Chunks are str or bytes (a bytes chunk may end inside a UTF-8 character), not both in one
    stream (TypeError); empty chunks are allowed. Options are those of `velvin.parse`. One parser
    may be shared between threads: calls are serialised.
    """

    def __init__(self, **options: Any) -> None:
        self._options = check_options("StreamParser", options)
        self._native = _native.StreamParser(self._options)
        self._lock = threading.Lock()
        self._result: Union[ParseResult, None] = None
        self._chunks: list = []  # what close()'s result explains

    def feed(self, chunk: Chunk) -> Any:
        """Adds the next piece of text and returns the value so far (None before one began)."""
        if isinstance(chunk, (bytearray, memoryview)):
            chunk = bytes(chunk)
        with self._lock:
            value = self._native.feed(chunk)
            if chunk:
                self._chunks.append(chunk)
            return value

    def close(self) -> ParseResult:
        """Ends the stream: the full pipeline's result for the whole text."""
        with self._lock:
            if self._result is None:
                text = (b"" if self._chunks and isinstance(self._chunks[0], bytes) else "").join(self._chunks)
                self._result = _made_from(ParseResult.from_dict(self._native.close()), text, self._options)
                self._chunks = []
            return self._result

    @property
    def closed(self) -> bool:
        return self._result is not None


def parse_stream(chunks: Iterable[Chunk], **options: Any) -> Iterator[Any]:
    """Yields the value so far after each chunk, in order (see StreamParser, whose close() also
    gives the final ParseResult when that is needed).

        >>> list(parse_stream(['[1, ', '2, "a', 'b"]']))
        [[1], [1, 2, 'a'], [1, 2, 'ab']]
    """
    parser = StreamParser(**options)
    for chunk in chunks:
        yield parser.feed(chunk)
