"""Redaction by name: the value under a name that holds a secret is written as
"[redacted]" (see `sarv.serialize` for where names are judged). The native
encoder keeps the same rules (set_redaction sets both) and, like this, one
verdict per name object."""

from __future__ import annotations

from sarv.serialize.classes import _dict_items
from sarv.serialize.limits import EXACT_MAX_BYTES, MAX_BYTES, MAX_STR_CHARS, _speedups

_PACK_NEST_LIMIT = 1024  # msgpack's packer: deeper plain data is not written exactly

REDACTED = "[redacted]"
DEFAULT_REDACT = (
    "*password*",
    "*passwd*",
    "*secret*",
    "*token*",
    "*apikey*",
    "*privatekey*",
    "*credential*",
    "auth",
    "authorization",
    "cookie",
    "setcookie",
    "sessionid",
    "csrf",
    "csrftoken",
    "signature",
    # the same headers as WSGI environ and Django's META name them, and parsed cookies
    "http_authorization",
    "http_cookie",
    "proxy_authorization",
    "http_proxy_authorization",
    "cookies",
)
_EQUALS, _CONTAINS, _PREFIX, _SUFFIX = range(4)
_redact_entries: tuple = ()
_RULES: list = []  # (kind, normalised text)
_BYTES_RULES: list = []  # the same, as UTF-8
_VERDICTS: dict = {}  # exact str name -> bool
_BYTES_VERDICTS: dict = {}  # bytes name -> bool (apart: a str never meets a bytes)
_VERDICTS_MAX = 4096
_str_lower = str.lower
_str_len = str.__len__
_str_slice = str.__getitem__


def _normalised(name) -> str:
    if _str_len(name) > MAX_STR_CHARS:
        name = _str_slice(name, slice(0, MAX_STR_CHARS))
    return _str_lower(name).replace("-", "").replace("_", "")


def redaction_rules(entries) -> list:
    """[(kind, text)] of redaction entries ("word", "*word*", "word*",
    "*word"); ValueError naming the entry that is not one of these."""
    if isinstance(entries, (str, bytes)):
        raise ValueError("expected a list of names, got %s" % type(entries).__name__)
    rules = []
    for entry in entries:
        if type(entry) is not str:
            raise ValueError("expected a list of names, found %r" % (entry,))
        head, tail = entry.startswith("*"), entry.endswith("*") and len(entry) > 1
        core = entry[1 if head else 0 : len(entry) - 1 if tail else len(entry)]
        text = _normalised(core) if _str_len(core) <= MAX_STR_CHARS else ""
        if "*" in core or not text:
            raise ValueError(
                "%r is not a name to redact: use word, *word*, word* or *word "
                "(a word that is not only '-' and '_')" % (entry,)
            )
        kind = _CONTAINS if head and tail else _SUFFIX if head else _PREFIX if tail else _EQUALS
        rules.append((kind, text))
    return rules


def redaction() -> tuple:
    """The redaction entries in force (an empty tuple: redaction is off)."""
    return _redact_entries


def set_redaction(entries=DEFAULT_REDACT) -> tuple:
    """Makes `entries` (see `redaction_rules`; empty turns redaction off)
    the names whose values both forms write as "[redacted]"; returns the
    entries in force before."""
    global _redact_entries, _RULES, _BYTES_RULES
    entries = tuple(entries)
    rules = redaction_rules(entries)
    if _speedups is not None:
        _speedups.set_redaction(rules)
    previous = _redact_entries
    _redact_entries, _RULES = entries, rules
    _BYTES_RULES = [(kind, text.encode("utf-8", "surrogatepass")) for kind, text in rules]
    _VERDICTS.clear()
    _BYTES_VERDICTS.clear()
    return previous


def name_matches(rules, name: str) -> bool:
    """Whether `name` matches one of `rules` (from `redaction_rules`)."""
    return _matches(rules, _normalised(name))


def _matches(rules, text) -> bool:
    for kind, rule in rules:
        if (
            (kind == _CONTAINS and rule in text)
            or (kind == _EQUALS and text == rule)
            or (kind == _PREFIX and text.startswith(rule))
            or (kind == _SUFFIX and text.endswith(rule))
        ):
            return True
    return False


def _judge(name) -> bool:
    try:
        return name_matches(_RULES, name)
    except Exception:  # a name that cannot be read keeps its value out
        return True


def _secret_name(name) -> bool:
    """Whether the value under `name` (a str or a str subclass) is redacted."""
    if not _RULES:
        return False
    if type(name) is not str:
        return _judge(name)  # a subclass may hash and compare as it likes: not kept
    verdict = _VERDICTS.get(name)
    if verdict is None:
        verdict = _judge(name)
        if len(_VERDICTS) >= _VERDICTS_MAX:
            _VERDICTS.clear()
        _VERDICTS[name] = verdict
    return verdict


def _secret_bytes_name(name: bytes) -> bool:
    verdict = _BYTES_VERDICTS.get(name)
    if verdict is None:
        text = bytes.lower(name[:MAX_BYTES]).replace(b"-", b"").replace(b"_", b"")
        verdict = _matches(_BYTES_RULES, text)
        if len(_BYTES_VERDICTS) >= _VERDICTS_MAX:
            _BYTES_VERDICTS.clear()
        _BYTES_VERDICTS[name] = verdict
    return verdict


def _secret_pair(pair) -> bool:
    """Whether a tuple is (name, value) with a secret name, a str or bytes."""
    if not _RULES or tuple.__len__(pair) != 2:
        return False
    name = tuple.__getitem__(pair, 0)
    if type(name) is bytes:
        return _secret_bytes_name(name)
    return issubclass(type(name), str) and _secret_name(name)


def _holds_secret_name(root) -> bool:
    """Whether plain data that msgpack's packer writes itself (dicts, lists,
    tuples and sets within one another) holds a dict with a secret str key or
    a secret (name, value) pair. Looks no further than the packer goes (its
    nesting limit, EXACT_MAX_BYTES elements, each of which takes a byte at
    least): past that the exact form does not stand anyway."""
    left = EXACT_MAX_BYTES
    stack = [(root, 0)]
    while stack:
        node, nest = stack.pop()
        if type(node) is dict:
            pairs = list(_dict_items(node))
            keys = [k for k, _ in pairs]
            children = [v for _, v in pairs]
        elif type(node) is tuple and _secret_pair(node):
            return True
        else:
            keys, children = [], list(node)
        left -= len(children)
        if left < 0:
            return False
        if any(issubclass(type(k), str) and _secret_name(k) for k in keys):
            return True
        if nest < _PACK_NEST_LIMIT:
            stack.extend((v, nest + 1) for v in children if _plain_container(type(v)))
    return False


def _plain_container(tp) -> bool:
    # (by identity: hashing a class could run its metaclass's __hash__)
    return tp is dict or tp is list or tp is tuple or tp is set or tp is frozenset
