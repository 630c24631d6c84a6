#!/usr/bin/env python3
"""Deterministic generator of broken model replies with the value each one meant.

Builds a realistic valid value first (records with names, titles with quoted words, HTML, inch
marks, URLs, dates, UUIDs, versions, numbers), picks defect sites in it, and writes the broken
text a model might have produced. The meant value is the source value itself (for a reply cut
inside a string: the source cut at that point), so "expected" never depends on a repair. Every
site is chosen to be unambiguous for a human reader: neighbouring sites never touch, an inner
quote is never followed by , : } ] or the end of the string, bare text holds no bracket, comma
or quote. One JSON object per line:

    {"id": N, "kinds": [...], "sites": N, "input": "<broken text>", "expected": "<compact JSON>"}

Kinds (see KINDS below); choices made where the meaning is open:
  malformed_number   .5 -> 0.5, 5. -> 5.0, 2e -> 2.0 (an exponent mark makes a float), +3 -> 3,
                     1_000 -> 1000, -.3 -> -0.3
  nan_like_word      bare NaN / Infinity / -Infinity -> the strings "NaN", "Infinity", "-Infinity"
  wrapper            ObjectId("x") / ISODate("x") -> "x"; NumberLong("12"), NumberLong(12),
                     NumberInt(7) -> the integer; callback({...}); -> the inner value
  truncated_string_final_newline  the text stops inside a string (at a word end) and the file's
                     final newline follows; meant: the value up to there, the string cut there

Same arguments give byte-identical output. The committed corpora:
  python3 bench/make_defect_corpus.py --standard            # rewrite bench/data/defects-*.jsonl
  python3 bench/make_defect_corpus.py --standard --check    # verify them byte for byte
One kind only, for developers:
  python3 bench/make_defect_corpus.py --kind inner_quote --seed 7 --count 40 --size small --out /tmp/iq.jsonl
"""
import argparse
import json
import random
import re
import sys
from pathlib import Path

NEW_KINDS = ["inner_quote", "missing_close_quote", "missing_open_quote", "bare_text", "malformed_number",
             "number_like_string", "nan_like_word", "tuple", "double_encoded", "wrapper", "ellipsis",
             "wrong_closer", "surplus_closer", "leading_or_double_comma", "truncated_string_final_newline",
             "missing_colon"]
CLASSIC_KINDS = ["prose_before", "prose_after", "code_fence", "single_quotes", "smart_quotes", "bare_keys",
                 "python_literals", "line_comments", "block_comments", "trailing_commas", "missing_commas",
                 "raw_newline"]
KINDS = NEW_KINDS + CLASSIC_KINDS
DOC_KINDS = {"double_encoded", "surplus_closer", "truncated_string_final_newline", "prose_before",
             "prose_after", "code_fence"}
# Value or key defects after which a reader needs clean neighbours (a comma, a plain next key).
HARD = {"inner_quote", "missing_close_quote", "missing_open_quote", "bare_text", "number_like_string",
        "nan_like_word", "missing_colon"}
SIZES = {"small": 300, "medium": 5000}
STANDARD = [("defects-small.jsonl", 1, 600, "small"), ("defects-medium.jsonl", 2, 110, "medium")]
DATA = Path(__file__).resolve().parent / "data"

FIRST = ["Ada", "Björn", "Chloé", "Dmitri", "Emma", "Fatima", "Grace", "Hiro", "Ingrid", "José", "Kenji",
         "Léa", "Mateo", "Noor", "Olga", "Priya", "Raúl", "Søren", "Zoë", "Wei"]
LAST = ["Lovelace", "Müller", "García", "Nakamura", "Kowalski", "Nguyen", "Dubois", "Silva", "Chen", "Okafor"]
CITIES = ["Paris", "São Paulo", "Zürich", "Kraków", "Tokyo", "東京", "New York", "Reykjavík", "Cairo", "Αθήνα"]
STATUS = ["active", "pending", "shipped", "blocked", "in review", "draft"]
WORDS = ["urgent", "billing", "backend", "mobile", "infra", "docs", "security", "search", "api"]
SENTENCES = ["Order shipped via DHL, tracking pending.", "Customer asked for a refund — approved.",
             "Résumé parsed without errors ✅", "Stock is low in the Lyon warehouse.",
             "数据已更新，请检查。", "Meeting moved to Thursday afternoon.", "Invoice sent to the billing team.",
             "Temperature reached -3.5 °C overnight.", "Привет, мир! Это тестовая строка.",
             "Path on disk: C:\\Users\\admin\\report.pdf", "See ticket 4521 for the known issue."]
PLAIN_TITLES = ["Quarterly report", "Café opening hours", "Release notes", "Übersicht der Aufträge",
                "Weekly sync — agenda", "Onboarding checklist", "Return policy"]
QUOTED_TITLES = ['The "Pro" plan', 'Why "serverless" still needs servers', 'Notes on the "Atlas" rollout',
                 'Review of "Dune" (2021)', 'Ask for "Maria" at the desk', 'Our "best effort" SLA explained']
HTML = ['<a href="https://shop.example.com/p/{n}">View item</a>', '<span class="badge">new</span>',
        '<div id="main" class="wide">Hello</div>', '<img src="/img/{n}.png" alt="product photo">',
        '<input type="checkbox" checked>']
MEASURES = ['12" vinyl record', '27" 4K monitor', '3.5" floppy disk', '15" laptop sleeve',
            '2" x 4" pine board', 'Tablet 7" screen, 64 GB']
PHRASES = ["hello world", "see you soon", "2 items left", "all good", "ships in 3-5 days", "meet at 10:30 am",
           "out of stock", "Ada Lovelace", "room 4B, floor 2"]
QUOTED_KEYS = ['the "Pro" tier', 'size (12")', 'plan "Team" seats']
SPACED_KEYS = {"first name": lambda r: r.choice(FIRST), "last name": lambda r: r.choice(LAST),
               "zip code": lambda r: "%05d" % r.randint(1000, 99999), "order id": lambda r: r.randint(1000, 99999),
               "phone number": lambda r: "+1-555-%04d" % r.randint(0, 9999), "due date": lambda r: iso(r)[:10],
               "full name": lambda r: r.choice(FIRST) + " " + r.choice(LAST), "home city": lambda r: r.choice(CITIES)}
PRE = ["Sure! Here is the JSON you asked for:\n\n", "Here's the extracted data:\n", "Output:\n",
       "Okay, I've analysed the request. Result:\n\n", "Certainly. Below is the structured response.\n\n"]
POST = ["\n\nLet me know if you need any changes!", "\n\nI hope this helps.", "\nNote: prices are in EUR."]
COMMENTS = ["TODO: verify", "from the user's message", "in EUR", "ISO 8601", "optional", "may be null"]
JSONP = ["callback", "handleResponse", "jsonp_4821", "processData"]

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
JSON_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")
NUMBER_LIKE = re.compile(r"\d+(\.\d+){2,}|\d{4}-\d\d-\d\d(T\d\d:\d\d(:\d\d)?Z?)?|[0-9a-f]{8}(-[0-9a-f]{4}){3}"
                         r"-[0-9a-f]{12}|\d+-\d+|\d\d:\d\d|\+?\d+(-\d+)+|\d+\.\d+\.\d+\.\d+")
OBJECT_ID = re.compile(r"[0-9a-f]{24}")
ISO_DATE = re.compile(r"\d{4}-\d\d-\d\d(T\d\d:\d\d(:\d\d)?Z)?")
RESERVED = {"true", "false", "null", "none", "nan", "infinity", "-infinity", "undefined"}


def iso(r):
    return "2024-%02d-%02dT%02d:%02d:%02dZ" % (r.randint(1, 12), r.randint(1, 28), r.randint(0, 23),
                                               r.randint(0, 59), r.randint(0, 59))


def uuid(r):
    h = "%032x" % r.getrandbits(128)
    return "-".join((h[:8], h[8:12], h[12:16], h[16:20], h[20:]))


def person(r):
    return r.choice(FIRST) + " " + r.choice(LAST)


# field -> value maker; records sample from these
FIELDS = {
    "id": lambda r: r.randint(1, 99999), "name": person, "status": lambda r: r.choice(STATUS),
    "title": lambda r: r.choice(QUOTED_TITLES if r.random() < 0.4 else PLAIN_TITLES),
    "description": lambda r: r.choice(SENTENCES), "message": lambda r: r.choice(PHRASES),
    "tags": lambda r: r.sample(WORDS, r.randint(1, 4)), "price": lambda r: round(r.uniform(1, 900), 2),
    "rating": lambda r: float(r.randint(1, 5)), "score": lambda r: round(r.random(), r.randint(1, 3)),
    "delta": lambda r: -round(r.uniform(0.01, 0.99), 2), "count": lambda r: r.randint(0, 40),
    "total": lambda r: r.randint(1, 9) * 10 ** r.randint(3, 7), "enabled": lambda r: r.random() < 0.5,
    "deleted_at": lambda r: None if r.random() < 0.7 else iso(r), "created_at": iso,
    "date": lambda r: iso(r)[:10], "opens_at": lambda r: "%02d:%02d" % (r.randint(6, 11), r.choice([0, 15, 30])),
    "email": lambda r: r.choice(FIRST).lower() + "%d@example.com" % r.randint(1, 999),
    "url": lambda r: "https://example.com/api/v2/items/%d?lang=%s&page=%d" % (r.randint(1, 9999), r.choice(["en", "de"]), r.randint(1, 9)),
    "city": lambda r: r.choice(CITIES), "phone": SPACED_KEYS["phone number"],
    "version": lambda r: "%d.%d.%d" % (r.randint(0, 3), r.randint(0, 20), r.randint(0, 9)),
    "uuid": uuid, "_id": lambda r: "%024x" % r.getrandbits(96),
    "ip": lambda r: "10.%d.%d.%d" % (r.randint(0, 255), r.randint(0, 255), r.randint(1, 254)),
    "pages": lambda r: "%d-%d" % (r.randint(1, 50), r.randint(51, 400)),
    "html": lambda r: r.choice(HTML).format(n=r.randint(1, 999)), "item": lambda r: r.choice(MEASURES),
    "size": lambda r: [r.choice([640, 1280, 1920]), r.choice([480, 720, 1080])],
    "pt": lambda r: [round(r.uniform(-90, 90), 4), round(r.uniform(-180, 180), 4)],
    "flags": lambda r: [r.choice([True, False, None]) for _ in range(r.randint(1, 3))],
    "weight_kg": lambda r: float(r.randint(1, 40)),
    "notes": lambda r: None if r.random() < 0.4 else r.choice(SENTENCES) + "\n" + r.choice(SENTENCES),
}
NESTED = ["owner", "address", "contact", "items"]
# extra fields a kind needs when the document holds no site for it: (key, value maker)
PLANTS = {
    "inner_quote": [("headline", lambda r: r.choice(QUOTED_TITLES)), ("link", lambda r: r.choice(HTML).format(n=7)),
                    ("product", lambda r: r.choice(MEASURES)), (QUOTED_KEYS, lambda r: r.randint(5, 99))],
    "bare_text": [("greeting", lambda r: r.choice(PHRASES)), ("homepage", FIELDS["url"]),
                  (SPACED_KEYS, None)],
    "missing_open_quote": [(SPACED_KEYS, None), ("city", FIELDS["city"])],
    "number_like_string": [("release", FIELDS["version"]), ("timestamp", iso), ("request_id", uuid),
                           ("age_range", lambda r: "%d-%d" % (r.randint(10, 30), r.randint(31, 60)))],
    "nan_like_word": [("max", lambda r: "Infinity"), ("mean", lambda r: "NaN"), ("min", lambda r: "-Infinity")],
    "malformed_number": [("ratio", lambda r: round(r.random(), 2)), ("population", FIELDS["total"])],
    "tuple": [("pt", FIELDS["pt"]), ("flags", FIELDS["flags"]), ("labels", lambda r: [r.choice(WORDS)])],
    "wrapper": [("_id", FIELDS["_id"]), ("created_at", iso), ("views", lambda r: r.randint(10, 10 ** 6))],
    "python_literals": [("enabled", lambda r: r.random() < 0.5)],
    "raw_newline": [("notes", lambda r: r.choice(SENTENCES) + "\n" + r.choice(SENTENCES))],
    "*": [("tags", lambda r: r.sample(WORDS, 3)), ("city", FIELDS["city"]), ("status", FIELDS["status"])],
}


def record(r, depth, fields):
    keys = r.sample(sorted(FIELDS), fields)
    if depth > 0:
        keys += r.sample(NESTED, r.randint(0, 2))
    out = {}
    for k in keys:
        if k == "items":
            out[k] = [record(r, depth - 1, r.randint(3, 6)) for _ in range(r.randint(1, 3))]
        elif k == "contact":
            out[k] = {key: SPACED_KEYS[key](r) for key in r.sample(sorted(SPACED_KEYS), 3)}
        elif k in NESTED:
            out[k] = record(r, depth - 1, r.randint(2, 4))
        else:
            out[k] = FIELDS[k](r)
    return out


def compact(v):
    return json.dumps(v, ensure_ascii=False, separators=(",", ":"))


def document(r, size):
    if size < 1000:
        if r.random() < 0.2:
            return [record(r, 0, r.randint(3, 6)) for _ in range(2)]
        return record(r, 1 if r.random() < 0.3 else 0, r.randint(6, 9))
    doc = {"request_id": uuid(r), "generated_at": iso(r), "results": []}
    while len(compact(doc)) < size * 0.55:  # indentation adds the rest
        doc["results"].append(record(r, 2, r.randint(4, 8)))
    return doc


def walk(v, path=()):
    """Yields (container path, container, index, key, child) for every member, in text order."""
    if isinstance(v, (dict, list)):
        items = list(v.items()) if isinstance(v, dict) else list(enumerate(v))
        for i, (k, x) in enumerate(items):
            yield path, v, i, k, x
            yield from walk(x, path + (k,))


def containers(v, path=()):
    if isinstance(v, (dict, list)):
        yield path, v
        for k, x in (v.items() if isinstance(v, dict) else enumerate(v)):
            yield from containers(x, path + (k,))


def inner_quote_ok(s):
    if '"' not in s or s[0] == '"' or s[-1] == '"' or "\n" in s:
        return False
    return all(s[i + 1:].lstrip()[:1] not in ("", ",", ":", "}", "]", '"') for i, c in enumerate(s) if c == '"')


def plain_text(s):
    return bool(s) and s == s.strip() and not any(c in s for c in '"\\\n\t')


def bare_ok(s, key):
    return (plain_text(s) and not any(c in s for c in "'{}[],#") and s.lower() not in RESERVED
            and not IDENT.fullmatch(s) and not JSON_NUMBER.fullmatch(s) and not NUMBER_LIKE.fullmatch(s)
            and "/*" not in s and not (key and ":" in s))


def malformed_forms(v):
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        return []
    if isinstance(v, int):
        return (["+%d" % v] if v > 0 else []) + (["{:_}".format(v)] if v >= 1000 else [])
    if 0 < abs(v) < 1 and repr(v).startswith(("0.", "-0.")):
        return [repr(v).replace("0.", ".", 1)]
    if v == int(v) and abs(v) < 1e15:
        return ["%d." % v, "%de" % v, "%dE" % v]
    return []


def wrapper_forms(v):
    if isinstance(v, str) and (OBJECT_ID.fullmatch(v) or ISO_DATE.fullmatch(v)):
        return ['%s("%s")' % ("ObjectId" if OBJECT_ID.fullmatch(v) else "ISODate", v)]
    if isinstance(v, int) and not isinstance(v, bool) and v >= 0:
        return ['NumberLong("%d")' % v, "NumberLong(%d)" % v] + (["NumberInt(%d)" % v] if v < 2 ** 31 else [])
    return []


def value_forms(kind, v):
    """The texts a value may take for a value-site kind ([""] when the emitter renders it itself)."""
    s = isinstance(v, str)
    ok = {"inner_quote": s and inner_quote_ok(v),
          "missing_close_quote": s and plain_text(v), "missing_open_quote": s and plain_text(v),
          "bare_text": s and bare_ok(v, False), "number_like_string": s and bool(NUMBER_LIKE.fullmatch(v)),
          "nan_like_word": v in ("NaN", "Infinity", "-Infinity"),
          "tuple": isinstance(v, list) and 0 < len(v) <= 4 and all(not isinstance(x, (dict, list, str)) or
                                                                   (isinstance(x, str) and plain_text(x)) for x in v),
          "single_quotes": s and "'" not in v and "\n" not in v, "smart_quotes": s and "\n" not in v,
          "python_literals": v is None or isinstance(v, bool), "raw_newline": s and "\n" in v}
    if kind == "malformed_number":
        return malformed_forms(v)
    if kind == "wrapper":
        return wrapper_forms(v)
    return [""] if ok.get(kind) else []


def key_ok(kind, k):
    return {"inner_quote": inner_quote_ok(k), "missing_open_quote": plain_text(k), "bare_text": bare_ok(k, True),
            "bare_keys": bool(IDENT.fullmatch(k)) and k.lower() not in RESERVED,
            "single_quotes": "'" not in k, "smart_quotes": True, "missing_colon": True}.get(kind, False)


class Plan:
    """Where each defect goes. Locks keep sites apart so that each stays readable."""

    def __init__(self):
        self.values, self.keys, self.inserts, self.gaps, self.ends = {}, {}, {}, {}, {}
        self.doc, self.locks, self.sites, self.kinds, self.tail = {}, set(), 0, [], None

    def free(self, *locks):
        return not any(lk in self.locks for lk in locks)

    def take(self, kind, *locks):
        self.locks.update(locks)
        self.sites += 1
        if kind not in self.kinds:
            self.kinds.append(kind)

    @staticmethod
    def member_locks(path, i, n, kind, is_key):
        """A hard site owns its whole member and the separators on both sides (so two never touch)."""
        if kind not in HARD:
            return [("slot", path, i, is_key)]
        locks = [("slot", path, i, False), ("slot", path, i, True), ("gap", path, i - 1), ("gap", path, i),
                 ("pos", path, i), ("pos", path, i + 1)]
        return locks + ([("end", path)] if i == n - 1 else [])

    def on_tail(self, path):
        return self.tail is not None and path == self.tail[:len(path)]

    def options(self, kind, doc):
        """Every free site for kind: (locks, action) pairs."""
        out = []
        for path, c, i, k, x in walk(doc):
            n, here, obj = len(c), path + (k,), isinstance(c, dict)
            if here == self.tail or (kind == "missing_close_quote" and not (obj and i < n - 1)):
                continue
            for form in ([] if kind == "tuple" and self.on_tail(here) else value_forms(kind, x)):
                locks = self.member_locks(path, i, n, kind, False) + [("value", here)]
                if kind == "missing_close_quote":
                    locks.append(("slot", path, i + 1, True))
                if kind == "tuple":  # its elements and separators are printed by the tuple alone
                    locks += [("value", here + (j,)) for j in range(len(x))] + [("end", here)]
                    locks += [(lk, here, j) for j in range(-1, len(x) + 1) for lk in ("gap", "pos")]
                out.append((locks, ("values", here, (kind, form))))
            if obj and key_ok(kind, k):
                locks = self.member_locks(path, i, n, kind, True) + [("key", here)]
                out.append((locks, ("keys", here, kind)))
        for path, c in containers(doc):
            n, tail = len(c), self.on_tail(path)
            if n == 0 or ("value", path) in self.locks:
                continue
            if kind == "ellipsis":
                spots = range(1, n + (not tail)) if isinstance(c, list) else ([] if tail else [n])
                out += [([("pos", path, p), ("gap", path, p - 1)] + ([("end", path)] if p == n else []),
                         ("inserts", (path, p), kind)) for p in spots]
            if kind == "leading_or_double_comma":
                out += [([("pos", path, p), ("gap", path, p - 1)], ("inserts", (path, p), kind)) for p in range(n)]
            if kind in ("missing_commas", "line_comments", "block_comments"):
                out += [([("gap", path, g)], ("gaps", (path, g), kind)) for g in range(n - 1)]
            if kind == "trailing_commas" and not tail:
                out.append(([("end", path)], ("ends", path, kind)))
            if kind == "wrong_closer" and path and not tail:
                parent = doc
                for step in path[:-1]:
                    parent = parent[step]
                j = list(parent).index(path[-1]) if isinstance(parent, dict) else path[-1]
                if j < len(parent) - 1:  # the comma and member after it show that the parent goes on
                    out.append(([("end", path), ("gap", path[:-1], j)], ("ends", path, kind)))
        return [(locks, act) for locks, act in out if self.free(*locks)]

    def place(self, kind, doc, r):
        choices = self.options(kind, doc)
        if not choices:
            return False
        locks, (table, where, what) = r.choice(choices)
        getattr(self, table)[where] = what
        self.take(kind, *locks)
        return True


def plant(kind, doc, r, plan):
    """Adds a field that offers a site for kind to a random object of the document (before any site
    is placed: sites are kept by member index)."""
    objects = [c for path, c in containers(doc) if isinstance(c, dict) and not plan.on_tail(path)]
    if not objects:
        return
    target = r.choice(objects)
    key, make = r.choice(PLANTS.get(kind, PLANTS["*"]))
    if isinstance(key, dict):  # a spaced key with its own kind of value
        key = r.choice(sorted(key))
        make = SPACED_KEYS[key]
    elif isinstance(key, list):
        key = r.choice(key)
    if key in target:
        return
    items = list(target.items())
    items.insert(r.randint(0, len(items)), (key, make(r)))
    target.clear()
    target.update(items)


def truncate(v, path, prefix):
    """The value a reader gets from a text cut inside the string at path after prefix."""
    if not path:
        return prefix
    head, rest = path[0], path[1:]
    if isinstance(v, dict):
        keys = list(v)
        return {k: v[k] for k in keys[:keys.index(head)]} | {head: truncate(v[head], rest, prefix)}
    return v[:head] + [truncate(v[head], rest, prefix)]


def cut_points(doc):
    for path, c, i, k, x in walk(doc):
        if isinstance(x, str) and "\n" not in x and '"' not in x:
            for m in re.finditer(" ", x):
                if x[:m.start()][-1:].isalnum():
                    yield path + (k,), x[:m.start()]


class Emitter:
    def __init__(self, plan, r, layout, ascii_only):
        self.plan, self.r, self.ascii = plan, r, ascii_only
        self.indent, self.comma_space, self.colon = layout

    def text(self, s, kind=None, tail=False):
        inner = json.dumps(s, ensure_ascii=self.ascii)[1:-1]
        raw_quotes = re.sub(r"\\(.)", lambda m: '"' if m.group(1) == '"' else m.group(0), inner)
        if tail or kind == "missing_close_quote":
            return '"' + inner
        return {"bare_text": s, "number_like_string": s, "nan_like_word": s, "bare_keys": s,
                "inner_quote": '"' + raw_quotes + '"', "missing_open_quote": inner + '"',
                "single_quotes": "'" + raw_quotes + "'", "smart_quotes": "\u201c" + inner + "\u201d",
                "raw_newline": '"' + re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(0), inner) + '"',
                }.get(kind, '"' + inner + '"')

    def value(self, v, path, level, tail=False):
        kind, form = self.plan.values.get(path, (None, ""))
        if form:
            return form
        if kind == "tuple":
            inner = (", " if self.comma_space or self.indent else ",").join(
                {True: "True", False: "False", None: "None"}[x] if x is None or isinstance(x, bool)
                else self.value(x, None, level) for x in v)
            return "(" + inner + ("," if len(v) == 1 else "") + ")"
        if isinstance(v, (dict, list)):
            return self.container(v, path, level, tail)
        if isinstance(v, str):
            return self.text(v, kind, tail)
        if kind == "python_literals":
            return {True: "True", False: "False", None: "None"}[v]
        return json.dumps(v)

    def container(self, v, path, level, tail):
        items = list(v.items()) if isinstance(v, dict) else list(enumerate(v))
        open_, close = ("{", "}") if isinstance(v, dict) else ("[", "]")
        nl = "\n" + " " * (self.indent * (level + 1)) if self.indent else ""
        def lead(i):
            return nl or (self.comma_space if i else "")
        out, n = open_, len(items)
        for i, (k, x) in enumerate(items):
            here, insert = path + (k,), self.plan.inserts.get((path, i))
            if insert == "leading_or_double_comma":
                out += ","
            elif insert == "ellipsis":
                out += lead(i) + "...,"
            out += lead(i)
            if self.plan.gaps.get((path, i - 1)) == "block_comments":
                out += "/* %s */ " % self.r.choice(COMMENTS)
            last_tail = tail and i == n - 1
            if isinstance(v, dict):
                key_kind = self.plan.keys.get(here)
                out += self.text(k, key_kind) + (" " if key_kind == "missing_colon" else self.colon)
            out += self.value(x, here, level + 1, last_tail)
            gap = self.plan.gaps.get((path, i))
            if i < n - 1:
                out += (" " if not (nl or self.comma_space) else "") if gap == "missing_commas" else ","
                if gap == "line_comments":
                    out += " // %s" % self.r.choice(COMMENTS) + ("" if nl else "\n")
        if tail:
            return out
        end = self.plan.ends.get(path)
        if end == "trailing_commas":
            out += ","
        elif self.plan.inserts.get((path, n)) == "ellipsis":
            out += "," + lead(n) + "..."
        closer = {"{": "]", "[": "}"}[open_] if end == "wrong_closer" else close
        return out + ("\n" + " " * (self.indent * level) if self.indent else "") + closer


def site_kinds(r, size, kind, i):
    """The kind of every site to try, doc-level kinds first."""
    if kind:
        count = 1 if kind in DOC_KINDS else (r.randint(1, 2) if size < 1000 else r.randint(6, 14))
        return [kind] * count
    primary = NEW_KINDS[i % len(NEW_KINDS)]
    if primary == "double_encoded":
        return [primary] + ([r.choice(["prose_before", "prose_after"])] if r.random() < 0.5 else [])
    if size < 1000:
        extra = [r.choice([k for k in KINDS if k != "double_encoded"])] if r.random() < 0.4 else []
        kinds = [primary] + extra
    else:
        # a few kinds, each at several sites: a long reply repeats its model's habits
        pool = [k for k in KINDS if k not in ("double_encoded", "truncated_string_final_newline", primary)]
        mix = [primary] + r.sample(pool, r.randint(1, 3))
        repeat = [k for k in mix if k not in DOC_KINDS] or [r.choice([k for k in pool if k not in DOC_KINDS])]
        kinds = [k for k in mix if k in DOC_KINDS] + ([] if primary in DOC_KINDS else [primary] * r.randint(2, 4))
        kinds += [r.choice(repeat) for _ in range(r.randint(6, 14) - len(kinds))]
    return sorted(kinds, key=lambda k: k not in DOC_KINDS)


def place_doc_kind(plan, k, value, r):
    """Places a kind that acts on the whole text; returns the value the text now means."""
    if k == "truncated_string_final_newline":
        cuts = list(cut_points(value))
        if cuts and not {"surplus_closer", "prose_after"} & set(plan.doc):
            plan.tail, prefix = r.choice(cuts[len(cuts) // 2:])  # a reply runs out late rather than early
            plan.doc[k] = True
            plan.take(k)
            return truncate(value, plan.tail, prefix)
        return value
    if k == "wrapper":  # JSONP: a callback around the whole value
        if plan.tail is None and "jsonp" not in plan.doc:
            plan.doc["jsonp"] = r.choice(JSONP)
            plan.take(k)
        return value
    clash = {"surplus_closer": plan.tail is not None, "prose_after": plan.tail is not None,
             "double_encoded": plan.sites > 0}
    if not clash.get(k):
        plan.doc[k] = True
        plan.take(k)
    return value


def make(seed, size, i, kind=None):
    r = random.Random(seed * 1000003 + i * 7919 + size + (KINDS.index(kind) + 1 if kind else 0) * 104729)
    while True:  # a kind with no site in this document leaves it unbroken: draw another
        value = document(r, size)
        layout = r.choice([(2, "", ": "), (2, "", ": "), (4, "", ": "), (0, " ", ": "), (0, "", ":")])
        if size >= 1000 and r.random() < 0.8:
            layout = (2, "", ": ")
        plan, member_kinds = Plan(), []
        for k in site_kinds(r, size, kind, i):
            if k in plan.doc or ("double_encoded" in plan.doc and k not in ("prose_before", "prose_after")):
                continue
            if k in DOC_KINDS or (k == "wrapper" and r.random() < 0.25):
                value = place_doc_kind(plan, k, value, r)
                continue
            if len(plan.options(k, value)) <= member_kinds.count(k):
                plant(k, value, r, plan)
            member_kinds.append(k)
        for k in member_kinds:
            plan.place(k, value, r)
        if plan.sites:
            break
    body = Emitter(plan, r, layout, r.random() < 0.15).value(value, (), 0, plan.tail is not None)
    return {"id": i, "kinds": sorted(plan.kinds), "sites": plan.sites,
            "input": wrap(body, plan, r), "expected": compact(value)}


def wrap(body, plan, r):
    d = plan.doc
    if "surplus_closer" in d:
        body += body[-1]
    if "jsonp" in d:
        body = d["jsonp"] + "(" + body + ");"
    if "double_encoded" in d:
        body = json.dumps(body, ensure_ascii=False)[1:-1]
        if "prose_before" in d or "prose_after" in d:
            body = '"' + body + '"'
    pre, post = ("```json\n", "\n```") if "code_fence" in d else ("", "")
    if plan.tail:
        post = "\n"
    if "prose_before" in d:
        pre = r.choice(PRE) + pre
    if "prose_after" in d:
        post += r.choice(POST)
    return pre + body + post


def reject_constant(name):
    raise ValueError("not JSON: " + name)


def is_strict_json(text):
    try:
        json.loads(text, parse_constant=reject_constant)
        return True
    except ValueError:
        return False


def generate(seed, count, size, kind=None):
    lines = []
    for i in range(count):
        doc = make(seed, SIZES[size], i, kind)
        if is_strict_json(doc["input"]):
            raise AssertionError("document %d is valid JSON: %r" % (i, doc["input"][:200]))
        lines.append(json.dumps(doc, ensure_ascii=False) + "\n")
    return "".join(lines)


def write_or_check(path, text, check):
    if not check:
        Path(path).write_text(text, encoding="utf-8", newline="\n")
        return True
    same = Path(path).is_file() and Path(path).read_text(encoding="utf-8") == text
    print("%s: %s" % (path, "identical" if same else "DIFFERS"))
    return same


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=100)
    ap.add_argument("--size", choices=sorted(SIZES), default="small")
    ap.add_argument("--kind", choices=KINDS, help="every site of this kind only")
    ap.add_argument("--out", help="output .jsonl file")
    ap.add_argument("--standard", action="store_true", help="the committed corpora under bench/data/")
    ap.add_argument("--check", action="store_true", help="regenerate and compare with the file instead of writing")
    a = ap.parse_args()
    if a.standard:
        jobs = [(DATA / name, seed, count, size, None) for name, seed, count, size in STANDARD]
    elif a.out:
        jobs = [(Path(a.out), a.seed, a.count, a.size, a.kind)]
    else:
        ap.error("give --out FILE or --standard")
    ok = all([write_or_check(path, generate(seed, count, size, kind), a.check) for path, seed, count, size, kind in jobs])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
