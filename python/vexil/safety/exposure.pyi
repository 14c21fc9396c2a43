# Type stub of the extension module vexil.safety.exposure.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""Exposure, trials, scale, and weights validation."""

from typing import Any, Dict, Iterable
from vexil.safety.errors import SafetyError as SafetyError
from vexil.safety.family import _normalize_family_spec as _normalize_family_spec
from vexil.safety.response import _extract_response_array as _extract_response_array
from vexil.safety.utils import (
    _as_float_list as _as_float_list,
    _infer_observation_count as _infer_observation_count,
    _normalize_positive_sequence as _normalize_positive_sequence,
)

def enforce_exposure_usage(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: ...

def enforce_poisson_exposure(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: ...

def enforce_nbinomial_exposure(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Validate exposure (E) for nbinomial likelihood: must be strictly positive."""

def enforce_binomial_trials(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: ...

def enforce_scale_usage(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: ...

def enforce_offset_values(kwargs: Dict[str, Any]) -> None:
    """Validate offset values: no Inf allowed, and the length must match the number of observations (NaN is allowed and treated as 0)."""

def enforce_weights_values(kwargs: Dict[str, Any]) -> None:
    """Validate that weights values are strictly positive and finite."""

def enforce_random_weights_values(weights_vec, label: str) -> None:
    """Validate random effect weights: must be finite (NaN allowed, replaced with 0 upstream)."""
