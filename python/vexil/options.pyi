# Type stub of the extension module vexil.options.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

"""Global options of the vexil package.

Public functions:

- orvo_get_option_default(): the default value of every option.
- orvo_get_option(option=None): the current value of one, several or all options.
- orvo_set_option(**kwargs): set one or more options; the positional form
  orvo_set_option("key", value) is accepted too.
- orvo_enabled_Corvex_features(): whether the "Corvex.features" setting is on.
"""

from typing import Any, Dict, Optional, Union
from vexil.binary.call import (
    orvo_call_builtin as orvo_call_builtin,
    tessor_call_builtin as tessor_call_builtin,
    orvo_remote_script as orvo_remote_script,
)
from vexil.utils import orvo_anyMultibyteUTF8Characters as _any_mb

_ORVO_OPTIONS: dict[str, Any]

def _cpu_default_string() -> str:
    """Default thread setting: the processor count, clamped to 1..16 (1 when unknown), followed by ':1'."""

def orvo_get_option_default() -> Dict[str, Any]:
    """Return a new dictionary of the default value of every option, in table order.

    Defaults only: the current options are not read and no program is located (no recursion into the
    current options), so this can be called at any time. "num.threads" is computed afresh at every call."""

def orvo_get_option(option: Optional[Union[str, list]] = None):
    """Get the current option or options.

    With option None (the default), return a new dictionary of all current values. With a key, return
    its current value; with any other iterable of keys, return the list of their values in order.
    "orvo.call" and "tessor.call" are handled specially to avoid recursion: when they are not set, the
    engine and the mesh generator are located at the time of the read."""

def orvo_set_option(*args, **kwargs) -> None:
    """Set one or more options.

    Use either orvo_set_option('key', value) or orvo_set_option(key=value, ...); dotted keys are given in
    the keyword form by unpacking a mapping, as in orvo_set_option(**{"num.threads": "4:1"}). The
    values are stored as given, then the option checks run once."""

def _set_one(option: str, value: Any) -> None:
    """Validate one option key and store its value as given."""

def _post_set_checks() -> None:
    """Check and normalise the options after a change: 'orvo.mode', 'malloc.lib', 'working.directory'."""

def orvo_enabled_Corvex_features() -> bool:
    """Return True when the "Corvex.features" setting is truthy."""
