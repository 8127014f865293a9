"""Separated data: binary and ordered outcomes that a covariate predicts
perfectly (complete) or in part (quasi-complete), and a survival group all
censored, each named with converged=False; the same shapes without
separation fit as before; statsmodels' Logit agrees where it detects."""

import warnings

import numpy as np
import pytest

from distribution import OrderedRegression, SeparationWarning, SurvivalRegression
from distribution.models import dense, likelihood, separation

# A dummy (x1) and a covariate that interleaves the outcomes where the dummy is 0 (x2).
DUMMY = np.array([0, 0, 0, 0, 0, 0, 1, 1, 1, 1.0])
OTHER = np.array([0.3, -1.2, 0.8, 1.5, -0.4, 0.1, 0.7, -0.9, 0.2, 1.1])
BOTH = np.column_stack([DUMMY, OTHER])
SPREAD = np.array([-3, -2.5, -2, -1, -0.5, 0, 1, 1.5, 2.5, 3.0])[:, None]

# (outcome, design, kind, the estimates that tend to infinity and to which side):
# the widest margin puts a complete binary cut point at the gap's midpoint,
# 0 in the first (not infinite), 2.5 in the second; the ordered cut points at
# -1.5 and 0.5.
SEPARATED = {
    "binary complete": ((np.arange(8) > 3).astype(int), np.array([-2, -1.5, -1, -0.5, 0.5, 1, 1.5, 2.0])[:, None],
                        "complete", {"x1": "+"}),
    "binary complete, cut point in the gap": (np.repeat([0, 1], 3), np.arange(6.0)[:, None], "complete",
                                              {"x1": "+", "0/1": "+"}),
    # The program's tolerance is in the covariate's units.
    "in millions": (np.repeat([0, 1], 3), np.arange(6.0)[:, None] * 1e6, "complete", {"x1": "+", "0/1": "+"}),
    "in millionths": (np.repeat([0, 1], 3), np.arange(6.0)[:, None] * 1e-6, "complete", {"x1": "+", "0/1": "+"}),
    "binary quasi-complete": (np.array([0, 1, 0, 1, 1, 0, 1, 1, 1, 1]), BOTH, "quasi-complete", {"x1": "+"}),
    "binary classes touching": (np.array([0, 0, 0, 1, 1, 1]), np.array([-2, -1, 0, 0, 1, 2.0])[:, None],
                                "quasi-complete", {"x1": "+"}),
    "ordered complete": (np.array([0, 0, 0, 1, 1, 1, 2, 2, 2, 2]), SPREAD, "complete",
                         {"x1": "+", "0/1": "-", "1/2": "+"}),
    "ordered quasi-complete": (np.array([0, 1, 2, 0, 1, 2, 0, 0, 0, 0]), BOTH, "quasi-complete", {"x1": "-"}),
}

# The same shapes with one outcome changed: the classes overlap.
NOT_SEPARATED = {
    "binary": (np.array([0, 0, 0, 1, 0, 1, 1, 1]), np.array([-2, -1.5, -1, -0.5, 0.5, 1, 1.5, 2.0])[:, None]),
    "binary with a dummy": (np.array([0, 1, 0, 1, 1, 0, 1, 0, 1, 1]), BOTH),
    "ordered": (np.array([0, 0, 1, 0, 1, 1, 2, 2, 2, 2]), SPREAD),
    "ordered with a dummy": (np.array([0, 1, 2, 0, 1, 2, 0, 2, 0, 0]), BOTH),
}


def _fit(model, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = model.fit(**kwargs)
    return res, [w for w in caught if issubclass(w.category, RuntimeWarning)]


def _check_separated(res, caught, kind, infinite):
    # The one warning, at this file's line: the generic "did not converge" gives way.
    assert [w.category for w in caught] == [SeparationWarning]
    assert caught[0].filename == __file__
    message = str(caught[0].message)
    assert message.startswith(f"{kind} separation")
    assert ", ".join(f"{name} -> {side}inf" for name, side in infinite.items()) in message
    assert not res.converged and res.separation == kind
    assert [n for n, s in zip(res.param_names, res.separated) if s] == list(infinite)
    text = res.summary().as_text()
    one = len(infinite) == 1
    assert (f"Separation ({kind}): the maximum lies at infinity in the direction of {', '.join(infinite)}; "
            f"{'its' if one else 'their'} estimates are not finite") in text
    for name, side in infinite.items():
        assert any(line.startswith(name) and line.endswith(f"(not finite: tends to {side}inf)")
                   for line in text.splitlines())


@pytest.mark.parametrize("case", SEPARATED)
def test_separated_outcomes_are_named_and_not_converged(case):
    y, X, kind, infinite = SEPARATED[case]
    res, caught = _fit(OrderedRegression(y, X, m=1))
    _check_separated(res, caught, kind, infinite)


@pytest.mark.parametrize("case", NOT_SEPARATED)
def test_overlapping_outcomes_fit_without_a_warning(case):
    y, X = NOT_SEPARATED[case]
    res, caught = _fit(OrderedRegression(y, X, m=1))
    assert caught == [] and res.converged and res.separation is None and not res.separated.any()
    assert "Separation" not in res.summary().as_text() and np.all(np.abs(res.params) < 10)


def test_adjusted_noise_and_every_degree_are_marked():
    y, X, kind, infinite = SEPARATED["ordered quasi-complete"]
    # m = 3: the search does not converge; the separation says why.
    res, caught = _fit(OrderedRegression(y, X, m=3))
    _check_separated(res, caught, kind, infinite)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SeparationWarning)
        fits = OrderedRegression(y, X, m=1).select_degree(3).fits
    assert all(f.separation == kind and not f.converged and list(f.separated[:4]) == [True, False, False, False]
               for f in fits.values())


def test_survival_group_all_censored():
    # Times of a logistic shape: the first group's events seen (two
    # censored), the second's all censored at 5 and later.
    first = np.exp(np.array([-1.1, -0.6, -0.3, 0.0, 0.2, 0.4, 0.7, 1.0, 1.3, 1.9]))
    duration = np.concatenate([first, [5, 6, 7, 8, 9.0]])
    group = np.repeat([0.0, 1.0], [10, 5])[:, None]
    event = np.concatenate([[1, 1, 0, 1, 1, 1, 0, 1, 1, 1], np.zeros(5, int)])
    res, caught = _fit(SurvivalRegression(duration, event, group, m=1))
    _check_separated(res, caught, "quasi-complete", {"x1": "+"})
    # One event seen in the second group: a finite effect.
    event[-1] = 1
    res, caught = _fit(SurvivalRegression(duration, event, group, m=1))
    assert caught == [] and res.converged and res.separation is None and 1 < res.params[1] < 5


def test_statsmodels_logit_detects_the_same_complete_separation():
    sm = pytest.importorskip("statsmodels.api")
    from statsmodels.tools.sm_exceptions import PerfectSeparationWarning

    for y, X, separated in [SEPARATED["binary complete"][:2] + (True,), NOT_SEPARATED["binary"] + (False,)]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            logit = sm.Logit(y, sm.add_constant(X)).fit(disp=0)
            ours = OrderedRegression(y, X, m=1).fit()
        kinds = {w.category for w in caught}
        assert (PerfectSeparationWarning in kinds) == separated == (SeparationWarning in kinds)
        assert ours.converged != separated
        if not separated:
            # The ordered logit of two categories is the logit, its cut point the intercept's negative.
            np.testing.assert_allclose(ours.params, [logit.params[1], -logit.params[0]], rtol=1e-6, atol=1e-9)


def test_the_program_on_hand_built_bounds():
    # Location (constant, x): a right-censored row at x = 1, and an
    # interval row at x = 0 whose two finite ends hold the constant still.
    X = np.array([[1.0, 1.0], [1.0, 0.0]])
    block = likelihood.LocationScaleBlock([0.0, -1.0], [np.inf, 1.0], X)
    found = separation.recession([block], 2)
    assert found.kind == "quasi-complete" and list(found.involved) == [False, True] and found.direction[1] > 0
    # An exact row at x = 1 as well: nothing can move.
    exact = likelihood.LocationScaleBlock([0.0, -1.0, 0.5], [np.inf, 1.0, 0.5], np.vstack([X, X[0]]),
                                          exact=[False, False, True])
    assert separation.recession([exact], 2) is None
    # The same in dense designs (an ordered model's nominal effects).
    D_lo, D_hi = exact.designs()
    dense_block = dense.DenseBlock(exact.lo, D_lo, exact.hi, D_hi, np.zeros((3, 0)), exact.exact, np.ones(3))
    assert separation.recession([dense_block], 2) is None


def test_ordinary_fits_do_not_run_the_program(monkeypatch):
    monkeypatch.setattr(separation, "recession", None)  # calling it fails the fit
    rng = np.random.default_rng(3)
    X = rng.standard_normal((400, 2))
    y = np.digitize(X @ [1.0, -0.5] + rng.logistic(size=400), [-1.0, 1.0])
    res, caught = _fit(OrderedRegression(y, X, m=1))
    assert caught == [] and res.converged


def test_early_censoring_does_not_run_the_program(monkeypatch):
    # Censoring times uniform from 0: the earliest have survival
    # probability 1 at the fit, a sign that ordinary data give too.  The
    # events span the covariates, so nothing can be separated: no program.
    monkeypatch.setattr(separation, "recession", None)
    rng = np.random.default_rng(1)
    X = rng.normal(size=(20_000, 2))
    t, c = np.exp(1 + X @ [0.5, -0.3] + 0.5 * rng.logistic(size=20_000)), rng.uniform(0, 8, 20_000)
    res, caught = _fit(SurvivalRegression(np.minimum(t, c), (t <= c).astype(int), X, m=1))
    assert caught == [] and res.converged and res.separation is None
    # A covariate that no event varies is not pinned: the program runs.
    assert separation._pinned([likelihood.LocationScaleBlock(t, t, X, exact=np.ones(t.size, bool))], 2)
    assert not separation._pinned([likelihood.LocationScaleBlock(t, t, np.column_stack([X[:, 0], np.zeros_like(t)]),
                                                                 exact=np.ones(t.size, bool))], 2)


def test_dask_data_are_not_checked():
    da = pytest.importorskip("dask.array")
    y, X, _, _ = SEPARATED["binary complete"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = OrderedRegression(da.from_array(y, chunks=4), da.from_array(X, chunks=(4, 1)), m=1).fit()
    assert res.separation is None and not res.separated.any()
