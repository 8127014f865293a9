"""A frozen AdjustedLogistic as a scipy.stats continuous distribution."""

from scipy import stats


class ScipyAdjustedLogistic(stats.rv_continuous):
    """scipy.stats view of an `AdjustedLogistic` of shape ``()``: no shape
    parameters, and its own ``loc = 0``, ``scale = 1`` give the distribution
    (scipy's loc and scale then shift and stretch it as usual).  Every method
    goes through the accurate functions, so its values are the object's."""

    def __init__(self, dist, **kwds):
        kwds.setdefault("name", "adjusted_logistic")
        super().__init__(**kwds)
        self.dist = dist

    def _updated_ctor_param(self):
        # scipy rebuilds the instance from these when it freezes it.
        return {**super()._updated_ctor_param(), "dist": self.dist}

    def _pdf(self, x):
        return self.dist.pdf(x)

    def _logpdf(self, x):
        return self.dist.logpdf(x)

    def _cdf(self, x):
        return self.dist.cdf(x)

    def _logcdf(self, x):
        return self.dist.logcdf(x)

    def _sf(self, x):
        return self.dist.sf(x)

    def _logsf(self, x):
        return self.dist.logsf(x)

    def _ppf(self, q):
        return self.dist.ppf(q)

    def _isf(self, q):
        return self.dist.isf(q)

    def _rvs(self, size=None, random_state=None):
        return self.dist.ppf(random_state.uniform(0.0, 1.0, size))

    def _stats(self):
        return self.dist.stats("mvsk")

    def _munp(self, n):
        return self.dist.moment(int(n))

    def _entropy(self):
        return self.dist.entropy()
