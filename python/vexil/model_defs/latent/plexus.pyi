# Type stub of the extension module vexil.model_defs.latent.plexus.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""
Multivariate IID models: iid1d, iid2d, iid3d, iid4d, iid5d, iidkd, 2diid

Multivariate Gaussian random effects with Wishart priors.
"""

from typing import Any

_SPECIAL_NUMBER: float
MODELS: dict[str, dict[str, Any]]
