"""The response of a model call, and the checks on it.

Minimal stand-in for the package's full module.

``_extract_response_array(kwargs)`` finds the response values the way the package's entry point is
called, ``model(formula, data=..., family=..., ...)``: the formula is the "formula" keyword argument, or
else the first positional argument (under "__args__" in a snapshot), and must be a string such as
"y ~ x + f(idx)". Its left-hand side, stripped of white space, names the response column, which is read
from the "data" argument with ``data[name]`` (a dict, a data frame, ...). The column is returned as it
is, not copied or converted. The result is None when there is no formula string, no "~", an empty
left-hand side, no data, or no such column (a left-hand side that is an expression, such as "cbind(y, n)",
is not a column either).

The three checks ``enforce_multiple_likelihood_response``, ``enforce_survival_response`` and
``enforce_untested_arguments`` accept every call and return None in this stand-in.
"""

from typing import Any, Dict, Iterable


def _formula_of(kwargs: Dict[str, Any]) -> Any:
    formula = kwargs.get("formula")
    if formula is None:
        args = kwargs.get("__args__")
        if isinstance(args, (tuple, list)) and args:
            formula = args[0]
    return formula


def _extract_response_array(kwargs: Dict[str, Any]) -> Any:
    """Response values of the call (the data column named by the formula's left-hand side), or None."""
    formula = _formula_of(kwargs)
    if not isinstance(formula, str) or "~" not in formula:
        return None
    name = formula.split("~", 1)[0].strip()
    if not name:
        return None
    data = kwargs.get("data")
    if data is None:
        return None
    try:
        return data[name]
    except (KeyError, IndexError, TypeError, ValueError):
        return None


def enforce_multiple_likelihood_response(kwargs: Dict[str, Any], *,
                                         families: Iterable[str] | None = None) -> None:
    """Check the response of a model with several likelihoods (accepts everything in this stand-in)."""
    return None


def enforce_survival_response(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response of survival likelihoods (accepts everything in this stand-in)."""
    return None


def enforce_untested_arguments(kwargs: Dict[str, Any]) -> None:
    """Flag arguments the package has no tests for (accepts everything in this stand-in)."""
    return None
