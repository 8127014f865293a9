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


# The model layer's tests: Python over the compiled functions that the other
# files test directly.  The sanitized build leaves them out (its point is
# the compiled code, and under it they take many minutes); make test and
# every interpreter run them.
MODEL_LAYER = {"test_pandas", "test_separation", "test_binary", "test_profile", "test_ordinal_effects",
               "test_truncation", "test_inference", "test_interval", "test_dask"}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.module.__name__ in MODEL_LAYER:
            item.add_marker("models")


def pytest_configure(config):
    # The global references of the fits: many fits on real samples and
    # simulated models, about three minutes; `make test` runs them, the
    # sanitized build and the other interpreters leave them out.
    config.addinivalue_line("markers", "slow: the fits against the global references (minutes)")
    config.addinivalue_line("markers", "models: the model layer's tests, which the sanitized build leaves out")
