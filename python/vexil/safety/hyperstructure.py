"""Checks of the hyperparameter settings of each likelihood family.

Minimal stand-in for the package's full module: one check per family, each accepting every call and
returning None.
"""

from typing import Any, Dict, Iterable


def enforce_beta_hyperstructure(kwargs: Dict[str, Any], *,
                                families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the beta likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_betabinomial_hyperstructure(kwargs: Dict[str, Any], *,
                                        families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the betabinomial likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_gamma_hyperstructure(kwargs: Dict[str, Any], *,
                                 families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the gamma likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_gaussian_hyperstructure(kwargs: Dict[str, Any], *,
                                    families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the gaussian likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_logistic_hyperstructure(kwargs: Dict[str, Any], *,
                                    families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the logistic likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_loglogistic_hyperstructure(kwargs: Dict[str, Any], *,
                                       families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the loglogistic likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_nbinomial_hyperstructure(kwargs: Dict[str, Any], *,
                                     families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the nbinomial likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_sn_hyperstructure(kwargs: Dict[str, Any], *,
                              families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the sn likelihood.

    Accepts everything in this stand-in.
    """
    return None


def enforce_t_hyperstructure(kwargs: Dict[str, Any], *,
                             families: Iterable[str] | None = None) -> None:
    """Check the hyperparameter settings of the t likelihood.

    Accepts everything in this stand-in.
    """
    return None
