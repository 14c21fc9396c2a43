"""The exception of the package's safety checks.

Minimal stand-in for the package's full module: it defines ``SafetyError`` only.
"""


class SafetyError(Exception):
    """A user's model call broke a safety rule.

    Built from one message string, which by convention starts with "vexil safety check: ".
    """
