"""Hypothesis example counts for the property tests: the profile "modest"
(the default, for `make test`) or "large", chosen with
CDF_HYPOTHESIS_PROFILE=large."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "modest", max_examples=60, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.register_profile(
    "large", max_examples=2000, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.load_profile(os.environ.get("CDF_HYPOTHESIS_PROFILE", "modest"))


def pytest_configure(config):
    # The global references of the fits: many fits on real samples and
    # simulated models, about three minutes; `make test` runs them, the
    # sanitized build and the other interpreters leave them out.
    config.addinivalue_line("markers", "slow: the fits against the global references (minutes)")
