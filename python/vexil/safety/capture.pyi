# Type stub of the extension module vexil.safety.capture.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""User call capture and orchestration of all safety checks."""

from typing import Any, Dict, Tuple
from vexil.safety.control import (
    enforce_compute_section as enforce_compute_section,
    enforce_control_structure as enforce_control_structure,
)
from vexil.safety.exposure import (
    enforce_binomial_trials as enforce_binomial_trials,
    enforce_exposure_usage as enforce_exposure_usage,
    enforce_nbinomial_exposure as enforce_nbinomial_exposure,
    enforce_offset_values as enforce_offset_values,
    enforce_poisson_exposure as enforce_poisson_exposure,
    enforce_scale_usage as enforce_scale_usage,
    enforce_weights_values as enforce_weights_values,
)
from vexil.safety.family import enforce_allowed_family as enforce_allowed_family
from vexil.safety.kindred import enforce_binomial_kindred as enforce_binomial_kindred
from vexil.safety.hyperstructure import (
    enforce_beta_hyperstructure as enforce_beta_hyperstructure,
    enforce_betabinomial_hyperstructure as enforce_betabinomial_hyperstructure,
    enforce_gamma_hyperstructure as enforce_gamma_hyperstructure,
    enforce_gaussian_hyperstructure as enforce_gaussian_hyperstructure,
    enforce_logistic_hyperstructure as enforce_logistic_hyperstructure,
    enforce_loglogistic_hyperstructure as enforce_loglogistic_hyperstructure,
    enforce_nbinomial_hyperstructure as enforce_nbinomial_hyperstructure,
    enforce_sn_hyperstructure as enforce_sn_hyperstructure,
    enforce_t_hyperstructure as enforce_t_hyperstructure,
)
from vexil.safety.random import enforce_random_structure as enforce_random_structure
from vexil.safety.response import (
    enforce_multiple_likelihood_response as enforce_multiple_likelihood_response,
    enforce_survival_response as enforce_survival_response,
    enforce_untested_arguments as enforce_untested_arguments,
)
from vexil.safety.support import (
    enforce_beta_support as enforce_beta_support,
    enforce_binomial_support as enforce_binomial_support,
    enforce_exponential_support as enforce_exponential_support,
    enforce_gamma_support as enforce_gamma_support,
    enforce_gaussian_support as enforce_gaussian_support,
    enforce_lognormal_support as enforce_lognormal_support,
    enforce_logistic_support as enforce_logistic_support,
    enforce_loglogistic_support as enforce_loglogistic_support,
    enforce_nbinomial_support as enforce_nbinomial_support,
    enforce_poisson_support as enforce_poisson_support,
    enforce_sn_support as enforce_sn_support,
    enforce_t_support as enforce_t_support,
    enforce_weibull_support as enforce_weibull_support,
)

def capture_user_call(args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Dict[str, Any]:
    """Snapshot the raw arguments supplied by the user.

    Parameters
    ----------
    args : tuple
        Positional arguments as received by the public entry point.
    kwargs : dict
        Keyword arguments as received by the public entry point.

    Returns
    -------
    dict
        A shallow copy of the keyword arguments for downstream use.
    """
