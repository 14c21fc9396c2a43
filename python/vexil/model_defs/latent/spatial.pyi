# Type stub of the extension module vexil.model_defs.latent.spatial.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""
Spatial models: besag, besag2, bym, bym2, besagproper, besagproper2, slm

Conditional autoregressive (CAR) models for areal data.
"""

from typing import Any

MODELS: dict[str, dict[str, Any]]
