"""Checks that the response of each likelihood family lies in the family's support.

Minimal stand-in for the package's full module: one check per family, each accepting every call and
returning None.
"""

from typing import Any, Dict, Iterable


def enforce_beta_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the beta likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_binomial_support(kwargs: Dict[str, Any], *,
                             families: Iterable[str] | None = None) -> None:
    """Check the response values of the binomial likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_exponential_support(kwargs: Dict[str, Any], *,
                                families: Iterable[str] | None = None) -> None:
    """Check the response values of the exponential likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_gamma_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the gamma likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_gaussian_support(kwargs: Dict[str, Any], *,
                             families: Iterable[str] | None = None) -> None:
    """Check the response values of the gaussian likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_lognormal_support(kwargs: Dict[str, Any], *,
                              families: Iterable[str] | None = None) -> None:
    """Check the response values of the lognormal likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_logistic_support(kwargs: Dict[str, Any], *,
                             families: Iterable[str] | None = None) -> None:
    """Check the response values of the logistic likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_loglogistic_support(kwargs: Dict[str, Any], *,
                                families: Iterable[str] | None = None) -> None:
    """Check the response values of the loglogistic likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_nbinomial_support(kwargs: Dict[str, Any], *,
                              families: Iterable[str] | None = None) -> None:
    """Check the response values of the nbinomial likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_poisson_support(kwargs: Dict[str, Any], *,
                            families: Iterable[str] | None = None) -> None:
    """Check the response values of the poisson likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_sn_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the sn likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_t_support(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None:
    """Check the response values of the t likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_weibull_support(kwargs: Dict[str, Any], *,
                            families: Iterable[str] | None = None) -> None:
    """Check the response values of the weibull likelihood.

    Accepts everything in this stand-in.
    """
    return None
