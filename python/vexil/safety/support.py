"""Checks that the response of each likelihood family lies in the family's support.

Minimal stand-in for the package's full module: one check per family, each accepting every call and
returning None.
"""

from typing import Any, Dict, Iterable


def enforce_beta_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the beta likelihood (accepts everything in this stand-in)."""
    return None


def enforce_binomial_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the binomial likelihood (accepts everything in this stand-in)."""
    return None


def enforce_exponential_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the exponential likelihood (accepts everything in this stand-in)."""
    return None


def enforce_gamma_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the gamma likelihood (accepts everything in this stand-in)."""
    return None


def enforce_gaussian_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the gaussian likelihood (accepts everything in this stand-in)."""
    return None


def enforce_lognormal_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the lognormal likelihood (accepts everything in this stand-in)."""
    return None


def enforce_logistic_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the logistic likelihood (accepts everything in this stand-in)."""
    return None


def enforce_loglogistic_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the loglogistic likelihood (accepts everything in this stand-in)."""
    return None


def enforce_nbinomial_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the nbinomial likelihood (accepts everything in this stand-in)."""
    return None


def enforce_poisson_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the poisson likelihood (accepts everything in this stand-in)."""
    return None


def enforce_sn_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the sn likelihood (accepts everything in this stand-in)."""
    return None


def enforce_t_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the t likelihood (accepts everything in this stand-in)."""
    return None


def enforce_weibull_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the weibull likelihood (accepts everything in this stand-in)."""
    return None
