# Type stub of the extension module vexil.safety.kindred.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

from typing import Any, Dict, Iterable, Optional
from vexil.safety.errors import SafetyError as SafetyError
from vexil.safety.family import (
    _normalize_family_spec as _normalize_family_spec,
    _normalize_link_value as _normalize_link_value,
)

def enforce_binomial_kindred(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: ...

def _validate_single_family_control(family_name: str, family_block: Dict[str, Any], idx: Optional[int] = None) -> None:
    """Validate a single control.family dict against a specific likelihood."""

def _validate_link_for_family(family_block: Dict[str, Any], family_name: str, has_family: bool, allowed_links: set[str]) -> None: ...
