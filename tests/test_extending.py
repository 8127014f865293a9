"""A model defined outside the package, through the public contracts only:
a linear regression with Gaussian noise, y = X beta + sigma e, observed
exactly, phi = (beta, log sigma), its own block in NumPy.  Its maximum
likelihood is least squares in closed form."""

import numpy as np
import pytest
from scipy import stats

from distribution.models.block import GRADIENT, HESSIAN, ObservationBlock
from distribution.models.regression import RegressionModel, Rows
from distribution.models.results import RegressionResults


class GaussianBlock(ObservationBlock):
    """l_i = -r_i^2 / 2 - log sigma - log(2 pi) / 2, r_i = (y_i - X_i beta) / sigma."""

    def __init__(self, y, X, weights, row_index):
        self.y, self.X, self.weights, self.row_index = y, X, weights, row_index
        self.n, self.k_phi = y.size, X.shape[1] + 1

    def rows(self, keep):
        return GaussianBlock(self.y[keep], self.X[keep], self.weights[keep], self.row_index[keep])

    @classmethod
    def concatenate(cls, parts):
        return cls(*(np.concatenate([getattr(b, f) for b in parts]) for f in ("y", "X", "weights", "row_index")))

    def _residuals(self, phi):
        s = np.exp(phi[:, -1])
        return (self.y - phi[:, :-1] @ self.X.T) / s[:, None], s

    def terms(self, phi, p):
        r, s = self._residuals(phi)
        return (-0.5 * r**2 - np.log(s)[:, None] - 0.5 * np.log(2 * np.pi)) * self.weights

    def scores(self, phi, p):
        r, s = self._residuals(phi)
        # p (m = 1) is the constant 1 and takes no part: its column is 0.
        return np.column_stack([(r[0] / s[0])[:, None] * self.X, r[0]**2 - 1, np.zeros(self.n)])

    def sums(self, phi, p, want=HESSIAN):
        S, k = phi.shape[0], self.k_phi + p.shape[1]
        value, grad, hess = self.terms(phi, p).sum(axis=1), np.zeros((S, k)), np.zeros((S, k, k))
        if want >= GRADIENT:
            r, s = self._residuals(phi)
            w, kx = self.weights, self.X.shape[1]
            grad[:, :kx] = ((r * w) / s[:, None]) @ self.X
            grad[:, kx] = (r**2 - 1) @ w
            if want == HESSIAN:
                hess[:, :kx, :kx] = -(self.X.T * w) @ self.X / (s**2)[:, None, None]
                hess[:, :kx, kx] = hess[:, kx, :kx] = -2 * ((r * w) / s[:, None]) @ self.X
                hess[:, kx, kx] = -2 * (r**2) @ w
        return value, grad, hess


class GaussianRegression(RegressionModel):
    results_class = RegressionResults
    concave = True  # one maximum: least squares

    def __init__(self, y, X):
        y, X = np.asarray(y, float), np.asarray(X, float)
        super().__init__(rows=Rows({"y": y, "X": X}), k_ends=X.shape[1], m=1, weights=None, sampling=False,
                         n_rows=y.size, pandas=False)

    def make_block(self, chunk):
        n = chunk["y"].size
        return GaussianBlock(chunk["y"], chunk["X"], np.ones(n), chunk["start"] + np.arange(n))

    def starts(self, m):
        def starts(j, best):
            chunk = self.rows.chunks[0]
            return [(np.concatenate([np.zeros(chunk["X"].shape[1]), [np.log(chunk["y"].std())]]), np.ones(1))]
        return starts

    def phi_names(self):
        return [*(f"x{i}" for i in range(self.k_ends)), "log_sigma"]

    def noise(self, params, scaled=False):
        return stats.norm()


def _data(seed=0, n=500):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    return X @ [1.0, 2.0, -0.5] + 0.7 * rng.standard_t(5, size=n), X


@pytest.mark.parametrize("seed", range(3))
def test_a_model_outside_the_package_fits_least_squares(seed):
    y, X = _data(seed)
    res = GaussianRegression(y, X).fit()
    beta, rss = np.linalg.lstsq(X, y, rcond=None)[:2]
    n, sigma = y.size, np.sqrt(rss[0] / y.size)
    assert res.converged
    np.testing.assert_allclose(res.params, [*beta, np.log(sigma)], rtol=1e-9, atol=1e-12)
    # The observed information: X'X / sigma^2 for beta, 2n for log sigma.
    bse = np.sqrt([*np.diag(np.linalg.inv(X.T @ X)) * sigma**2, 1 / (2 * n)])
    np.testing.assert_allclose(res.bse, bse, rtol=1e-7)
    np.testing.assert_allclose(res.llf, stats.norm(X @ beta, sigma).logpdf(y).sum(), rtol=1e-12)
    # The sandwich of the block's scores: White's HC0 for beta.
    robust = GaussianRegression(y, X).fit(cov_type="robust")
    e = y - X @ beta
    bread = np.linalg.inv(X.T @ X)
    hc0 = bread @ (X.T * e**2) @ X @ bread
    np.testing.assert_allclose(robust.cov_params()[:3, :3], hc0, rtol=1e-6)
    with pytest.raises(NotImplementedError, match="GaussianRegression has no marginal effects"):
        res.get_margeff()


def test_a_model_that_leaves_out_a_member_fails_at_construction():
    class NoStarts(RegressionModel):
        results_class = RegressionResults
        __init__, make_block = GaussianRegression.__init__, GaussianRegression.make_block
        phi_names, noise = GaussianRegression.phi_names, GaussianRegression.noise

    with pytest.raises(TypeError, match="abstract method.*starts"):
        NoStarts(*_data())

    class Undeclared(GaussianRegression):
        def __init__(self, y, X):
            self.y = y

    with pytest.raises(TypeError, match="must call RegressionModel.__init__"):
        Undeclared(*_data())

    class Unweighted(GaussianRegression):
        def __init__(self, y, X):
            RegressionModel.__init__(self, rows=Rows({"y": y, "X": X}), k_ends=3, m=1, sampling=False, n_rows=y.size,
                                     pandas=False)

    with pytest.raises(TypeError, match="weights"):
        Unweighted(*_data())
