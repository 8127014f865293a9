"""The package's layers: the argument checks and the distribution object
know nothing of the models, the model core imports no model, and the one
circle is AdjustedLogistic.fit's lazy import of the density model; warnings
point at the caller's line however deep the call that raises them."""

import ast
import warnings
from pathlib import Path

import numpy as np
import pytest

import distribution
from distribution import OrderedRegression

PACKAGE = Path(distribution.__file__).parent
MODELS = {"density", "binary", "ordered", "interval", "survival"}
CORE = {"likelihood", "dense", "search", "starts", "inference", "regression", "results", "formula", "profile",
        "separation"}


def imported(path):
    """The package's modules a file imports, at its top and inside functions."""
    out = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = path.parent if node.level == 1 else path.parent.parent
            stem = (base / (node.module or "").replace(".", "/")).relative_to(PACKAGE.parent)
            out |= {f"{stem}/{a.name}" if not node.module else str(stem) for a in node.names}
    return {name.replace("/", ".") for name in out}


@pytest.mark.parametrize("name", sorted(CORE))
def test_the_core_imports_no_model(name):
    found = imported(PACKAGE / "models" / f"{name}.py")
    assert not {f"distribution.models.{m}" for m in MODELS} & found, found


@pytest.mark.parametrize("name", ["_checks", "_warnings", "_poly", "_scipy"])
def test_the_lower_layers_import_no_model(name):
    assert not any(".models" in module for module in imported(PACKAGE / f"{name}.py"))


def test_the_one_circle_is_the_scipy_style_fit():
    assert {m for m in imported(PACKAGE / "_frozen.py") if ".models" in m} == {"distribution.models.density"}
    assert "distribution._frozen" in imported(PACKAGE / "models" / "density.py")


def test_warnings_point_at_the_callers_line():
    # x > 0 predicts y = 1 perfectly: every entry point warns of separation.
    x = np.linspace(-1.0, 1.0, 40)
    model = OrderedRegression((x > 0).astype(int), x, m=1)
    for call in (model.fit, lambda: model.select_degree(max_m=2),
                 lambda: OrderedRegression((x > 0).astype(int), x, m=2).fit(cov_type="robust")):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call()
        ours = [w for w in caught if issubclass(w.category, RuntimeWarning)]
        assert ours and all(w.filename == __file__ for w in ours), [(w.filename, str(w.message)) for w in caught]
