"""The likelihood-ratio tests of an ordered model's effects, as clm's
nominal_test and scale_test: each term of the location let move each
threshold on its own (a nominal effect, partial proportional odds), or
added to the log-scale's design."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Callable

import numpy as np

from .results import Table, chi2_sf

if TYPE_CHECKING:
    from .ordered import OrderedRegression, OrderedRegressionResults


def location_terms(model: OrderedRegression) -> dict[str, list[int]]:
    """The location's terms: their names and columns (a formula's terms,
    else each column)."""
    if model.formula is not None:
        encoded_columns = list(model.formula.encoding.column_names)
        out = {}
        for term, indices in model.formula.encoding.term_indices.items():
            columns = [model.exog_names.index(encoded_columns[i]) for i in indices
                       if encoded_columns[i] in model.exog_names]
            if columns:
                out[str(term)] = columns
        return out
    return {name: [i] for i, name in enumerate(model.exog_names)}


def effect_tests(model: OrderedRegression, results: OrderedRegressionResults, kind: str,
                 refit: Callable[..., OrderedRegression]) -> Table:
    """Each term of the location of an ordered model as a nominal or a
    scale effect, the larger model (``refit(endog, m=, weights=, ...)``)
    fitted from `results` by Newton's method (the effect's new coefficients
    start where they give the fit again), and its likelihood-ratio test."""
    k, K = model.exog.shape[1], model.k_levels
    b, cuts, nominal, gamma, p = model._parts(results._params)
    rows = []
    terms = location_terms(model)
    for name, columns in terms.items():
        keep = [i for i in range(k) if i not in columns]
        if kind == "nominal":
            # x_c b_c moved into the thresholds: a nominal effect -b_c at every j.
            other = dict(exog=model.exog[:, keep], exog_scale=model.exog_scale,
                         exog_nominal=np.column_stack([model.exog_nominal, model.exog[:, columns]]))
            start = [b[keep], cuts, nominal.T.ravel(), np.repeat(-b[columns], K - 1), gamma]
        else:
            other = dict(exog=model.exog, exog_nominal=model.exog_nominal,
                         exog_scale=np.column_stack([model.exog_scale, model.exog[:, columns]]))
            start = [b, cuts, nominal.T.ravel(), gamma, np.zeros(len(columns))]
        larger = refit(model.endog, m=model.m, weights=model.weights if not model.sampling else None,
                       sampling_weights=model.weights if model.sampling else None, offset=model.offset, **other)
        with warnings.catch_warnings():
            # Said in the table: a larger model whose maximum lies at
            # infinity (a threshold of one group beyond all its
            # observations) has a supremum, and its statistic is that one's.
            warnings.simplefilter("ignore", RuntimeWarning)
            fit = larger.fit(start_params=np.concatenate([*start, p if model.m > 1 else []]))
        statistic = max(2 * (fit.llf - results.llf), 0.0)
        df = fit.df_modelwc - results.df_modelwc
        rows.append([fit.llf, fit.aic, statistic, df, chi2_sf(statistic, df), fit.converged])
    title = f"Tests of {kind} effects: each term of the location as a {kind} effect"
    return Table(title, list(terms), ["llf", "AIC", "LRT", "df", "Pr(>Chi)", "converged"], rows)
