"""Checks of the "control" argument of a model call as a whole, and of its compute section.

Minimal stand-in for the package's full module: both checks accept every call and return None. The
per-family settings inside "control" are checked by ``vexil.safety.kindred``.
"""

from typing import Any, Dict, Iterable


def enforce_control_structure(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the layout of the "control" argument (accepts everything in this stand-in)."""
    return None


def enforce_compute_section(kwargs: Dict[str, Any]) -> None:
    """Check the compute section of "control" (accepts everything in this stand-in)."""
    return None
