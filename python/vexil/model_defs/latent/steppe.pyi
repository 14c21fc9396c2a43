# Type stub of the extension module vexil.model_defs.latent.steppe.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""
Random walk models: rw1, rw2, crw2, rw2d, rw2diid

Temporal smoothing models based on random walks.
"""

from typing import Any

MODELS: dict[str, dict[str, Any]]
