"""Family and link names of a model call.

Minimal stand-in for the package's full module. It turns the user's "family" argument into the model's
family list (one lower-case name per likelihood) and a link setting into a lower-case link name. It does
not compare names with a catalogue of known families: a name the package does not know simply matches
none of the checks that look for particular families.

- ``_normalize_family_spec(value)``: None gives the empty list (no family named); a string gives a
  one-name list; any other iterable of strings (list, tuple, array of strings, ...) gives one name per
  entry, in order, duplicates kept. Names are stripped of surrounding white space and lower-cased.
  Anything else raises ``SafetyError``.
- ``_normalize_link_value(value)``: None gives None; a string gives its stripped lower-case form;
  anything else raises ``SafetyError``.
- ``enforce_allowed_family(kwargs)``: the family list of the call's "family" entry, as a new list.
"""

from collections.abc import Iterable as _IterableABC
from collections.abc import Mapping as _MappingABC
from typing import Any, Dict, List, Optional

from .errors import SafetyError

_FAMILY_FORM_MESSAGE = "vexil safety check: 'family' must be a string or a list of strings; got {}."
_LINK_FORM_MESSAGE = "vexil safety check: 'link' must be a string; got {}."


def _clean_name(name: str) -> str:
    return str.lower(str.strip(name))


def _normalize_family_spec(value: Any) -> List[str]:
    """Family list of a raw "family" value: a new list of stripped lower-case names (empty for None)."""
    if value is None:
        return []
    if isinstance(value, str):
        return [_clean_name(value)]
    if isinstance(value, (bytes, bytearray, _MappingABC)) or not isinstance(value, _IterableABC):
        raise SafetyError(_FAMILY_FORM_MESSAGE.format(type(value).__name__))
    names = []
    for entry in value:
        if not isinstance(entry, str):
            raise SafetyError(_FAMILY_FORM_MESSAGE.format("an entry of type " + type(entry).__name__))
        names.append(_clean_name(entry))
    return names


def _normalize_link_value(value: Any) -> Optional[str]:
    """Lower-case link name of a raw "link" value; None when there is no link."""
    if value is None:
        return None
    if isinstance(value, str):
        return _clean_name(value)
    raise SafetyError(_LINK_FORM_MESSAGE.format(type(value).__name__))


def enforce_allowed_family(kwargs: Dict[str, Any]) -> List[str]:
    """Return the model's family list, read from the "family" entry of the call's keyword arguments."""
    return _normalize_family_spec(kwargs.get("family"))
