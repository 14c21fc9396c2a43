# Type stub of the extension module vexil.model_defs.latent.autoregressive.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""
Autoregressive models: ar1, ar1c, ar, ou

Time series models with autoregressive structure.
"""

from typing import Any

MODELS: dict[str, dict[str, Any]]
