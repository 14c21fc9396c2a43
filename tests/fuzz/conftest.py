"""Hypothesis profiles of the fuzz suite.

- "ci" (the default): derandomized, so every run tries the same examples; sized so that the whole fuzz suite
  takes a few minutes on two cores.
- "long": random examples, about an hour in total. Select it with VEXIL_FUZZ_PROFILE=long:

      VEXIL_FUZZ_PROFILE=long python -m pytest tests/fuzz -q --hypothesis-show-statistics

Each test states its weight (`examples(w)`), a multiple of the profile's base count, so that slow targets get
fewer examples than cheap ones in both profiles.
"""

import os

import pytest
from hypothesis import HealthCheck, settings

_COMMON = dict(
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                           HealthCheck.large_base_example],
)

settings.register_profile("ci", derandomize=True, database=None, max_examples=100, **_COMMON)
settings.register_profile("long", derandomize=False, max_examples=100 * 30, **_COMMON)

PROFILE = os.environ.get("VEXIL_FUZZ_PROFILE", "ci")
if PROFILE not in ("ci", "long"):
    raise pytest.UsageError("VEXIL_FUZZ_PROFILE must be 'ci' or 'long', not %r" % PROFILE)
settings.load_profile(PROFILE)


def pytest_report_header(config):
    return "vexil fuzz profile: %s (max_examples per unit weight %d)" % (PROFILE, settings().max_examples)
