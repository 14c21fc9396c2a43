"""Conversion helpers of the safety checks: numeric argument values and the number of observations.

Minimal stand-in for the package's full module. Pure Python: it does not import numpy, so the checks that
use it run where numpy is missing; numpy arrays and data-frame columns are read through their own
``to_numpy``, ``ravel`` and ``tolist`` methods.

- ``_as_float_list(label, value)``: the values of one numeric argument ("E", "Ntrials", ...) as a new list
  of Python floats. A number gives a one-element list; an array is flattened (an n-by-1 array gives n
  values); any other iterable gives one value per item. NaN and infinities are kept: judging the values is
  the caller's task. Text, mappings, None, and items that are not numbers are refused with
  ``SafetyError``; a failed conversion of an item is the cause of that error.
- ``_normalize_positive_sequence(label, value)``: the same conversion, used for "scale". Despite the
  name it does not judge signs: zero, negative and NaN entries are returned so that the scale check can
  report them with its own messages.
- ``_infer_observation_count(kwargs)``: the number of observations, that is the length (the number of
  rows, for a two-dimensional response) of the response found by
  ``vexil.safety.response._extract_response_array``; None when there is no response or it has no length.
"""

from collections.abc import Mapping as _MappingABC
from typing import Any, Dict, List, Optional, Tuple

from .errors import SafetyError
from .response import _extract_response_array

_FORM_MESSAGE = "vexil safety check: '{}' must be a number or a sequence of numbers; got {}."
_ITEM_MESSAGE = "vexil safety check: '{}' must hold numbers only; entry {} has type {}."
_RANGE_MESSAGE = "vexil safety check: '{}' entry {} is too large to be read as a float."


def _items_of(label: str, value: Any) -> Tuple[List[Any], bool]:
    """The items of ``value`` as a flat list, before conversion, and whether they are floats already."""
    if value is None or isinstance(value, (str, bytes, bytearray, _MappingABC)):
        raise SafetyError(_FORM_MESSAGE.format(label, type(value).__name__))
    to_numpy = getattr(value, "to_numpy", None)
    if callable(to_numpy):
        value = to_numpy()
    ravel = getattr(value, "ravel", None)
    tolist = getattr(value, "tolist", None)
    if callable(ravel) and callable(tolist) and getattr(value, "ndim", None) is not None:
        # An array: flatten it in C order. A 0-d array gives a bare scalar.
        flat = ravel().tolist()
        if not isinstance(flat, list):
            flat = [flat]
        # numpy arrays of floats up to double precision list themselves as Python floats.
        dtype = getattr(value, "dtype", None)
        is_float = (type(value).__module__ == "numpy" and getattr(dtype, "kind", None) == "f"
                    and getattr(dtype, "itemsize", 16) <= 8)
        return flat, is_float
    try:
        iterator = iter(value)
    except TypeError:
        return [value], False
    return list(iterator), False


def _as_float_list(label: str, value: Any) -> List[float]:
    """Values of the numeric argument ``label`` as a new list of floats (see the module documentation)."""
    items, is_float = _items_of(label, value)
    if is_float or all(type(item) is float for item in items):
        return items
    if all(type(item) in (int, float, bool) for item in items):
        try:
            return list(map(float, items))
        except OverflowError:
            pass  # an int too large for a float: reported, with its position, below
    result = []
    for index, item in enumerate(items):
        if isinstance(item, (str, bytes, bytearray)):
            raise SafetyError(_ITEM_MESSAGE.format(label, index, type(item).__name__))
        try:
            result.append(float(item))
        except OverflowError as exc:
            raise SafetyError(_RANGE_MESSAGE.format(label, index)) from exc
        except (TypeError, ValueError) as exc:
            raise SafetyError(_ITEM_MESSAGE.format(label, index, type(item).__name__)) from exc
    return result


def _normalize_positive_sequence(label: str, value: Any) -> List[float]:
    """Values of ``label`` ("scale") as a new list of floats; signs are left for the caller to judge."""
    return _as_float_list(label, value)


def _infer_observation_count(kwargs: Dict[str, Any]) -> Optional[int]:
    """Number of observations of the call (rows of its response), or None when it cannot be told."""
    response = _extract_response_array(kwargs)
    if response is None or isinstance(response, (str, bytes, bytearray)):
        return None
    shape = getattr(response, "shape", None)
    if isinstance(shape, tuple):
        return int(shape[0]) if shape else None
    try:
        return len(response)
    except TypeError:
        return None
