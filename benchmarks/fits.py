"""The fits against what they replace, timed side by side in one run.

1. Ordered regression, 20,000 observations (examples/ordinal_fit.py's data)
   on 20 seeds: OrderedRegression(m=3).fit() against the finite-difference
   BFGS that the example ran before (the logistic fit, then one BFGS start
   from it), and the ordered logit (m = 1) against statsmodels'
   OrderedModel and, where DISTRIBUTION_BASE names the site directory of an
   earlier build of this library, against that build, in a process of its
   own in the same run.
2. AdjustedLogistic.fit(m=3) on 10^5 observations against scipy's generic
   maximum likelihood, rv_continuous.fit (Nelder-Mead), of the same family: an
   rv_continuous whose shape parameters are the coefficients of p in the
   standardised variable (p_0 = 1), its logpdf the accurate one.
3. Reproducibility: the same sample in another order gives the same
   estimates.
4. Standard errors against the spread of a parametric bootstrap (200 refits).
5. The cost of inference on the ordered fit of 1: frequency weights, the
   robust and cluster covariances and the average marginal effects, each
   in passes over the data (one evaluation of the log-likelihood with its
   gradient and Hessian at one point).
6. The size of the likelihood-ratio test of m = 2 against the ordered logit
   on data simulated from the ordered logit, at the 5% level.
7. Interval regression on 10^5 survival times, half right-censored: the m = 3
   fit against the m = 1 fit (log-logistic AFT) and, where lifelines is
   installed, against its LogLogisticAFTFitter on the same data.
8. Censored data simulated from a noise of m = 3 on 20 seeds: how far the
   estimates of the location and scale fall from the truth, in standard
   errors.
9. Against R, timed by its own system.time in the same run (skipped with a
   message where Rscript or its packages are missing): the ordered logit
   (m = 1) against ordinal::clm on 20,000 and 10^6 observations and on
   50,000 x 16 columns; the log-logistic AFT model against
   survival::survreg on 10^5 times.
10. The tests of clm and the profile intervals: nominal_test and scale_test
   against fits of the model (m = 1 and m = 3, soup), and the Newton paths
   one profile interval costs per parameter.
11. OrderedRegression(m=3) on 2,000, 20,000 (10 seeds) and 10^6
   observations against its floor: one Newton path on all the data from
   where the winning candidate entered the full-data phase (from its start,
   where the screening ran on all the data); and 100 categories against 4
   on 10^5 observations.

Times are the best of REPEATS runs.  Run:  make bench-fits
(or python benchmarks/fits.py [--quick]).
"""

import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import optimize, stats  # noqa: E402

from distribution import AdjustedLogistic, IntervalRegression, OrderedRegression, SurvivalRegression, accurate  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from ordinal_fit import simulate  # noqa: E402


def best_time(fn, repeats):
    times, out = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


# --------------------------------------------- 1. the former ordered fit
def unpack(theta):
    """b (2), the cut points (first, then log increments), p = (1, a_1, a_2)."""
    b, first, steps, a = theta[:2], theta[2], theta[3:5], theta[5:7]
    cuts = first + np.concatenate([[0.0], np.cumsum(np.exp(steps))])
    return b, cuts, np.concatenate([[1.0], a])


def negative_log_likelihood(theta, X, y):
    """Per observation; end categories by logcdf and logsf."""
    b, cuts, param = unpack(theta)
    eta = X @ b
    upper = np.where(y < 3, cuts[np.minimum(y, 2)] - eta, np.inf)
    lower = np.where(y > 0, cuts[np.maximum(y - 1, 0)] - eta, -np.inf)
    F = accurate.cdf(np.concatenate([upper, lower]), 0.0, 1.0, param)
    F_upper, F_lower = F[: y.size], F[y.size:]
    log_p = np.empty(y.size)
    first, last = y == 0, y == 3
    log_p[first] = accurate.logcdf(upper[first], 0.0, 1.0, param)
    log_p[last] = accurate.logsf(lower[last], 0.0, 1.0, param)
    middle = ~(first | last)
    log_p[middle] = np.log(F_upper[middle] - F_lower[middle])
    return -log_p.mean()


def finite_difference_fit(X, y):
    """The logistic fit, then one BFGS start from it, gradients by finite differences."""
    logistic = optimize.minimize(lambda t: negative_log_likelihood(np.concatenate([t, [0.0, 0.0]]), X, y),
                                 np.zeros(5), method="BFGS")
    return optimize.minimize(negative_log_likelihood, np.concatenate([logistic.x, [0.0, 0.0]]),
                             args=(X, y), method="BFGS")


def ordered(repeats, seeds):
    ratios, gaps = [], []
    print(f"1. ordered regression, 20,000 observations, m = 3, seeds 0 ... {seeds - 1}")
    print("   seed   FD BFGS (s)   fit (s)   speed-up   llf fit - llf FD BFGS")
    for seed in range(seeds):
        X, y = simulate(seed=seed)
        t_old, old = best_time(lambda: finite_difference_fit(X, y), repeats)
        t_new, new = best_time(lambda: OrderedRegression(y, X, m=3).fit(), repeats)
        ratios.append(t_old / t_new)
        gaps.append(new.llf + old.fun * y.size)
        print(f"   {seed:4d}   {t_old:11.2f}   {t_new:7.2f}   {t_old / t_new:8.2f}   {gaps[-1]:+.4f}")
    print(f"   speed-up min {min(ratios):.2f}x, median {np.median(ratios):.2f}x, max {max(ratios):.2f}x; "
          f"FD BFGS ends more than 1e-3 below the fit on {sum(g > 1e-3 for g in gaps)} of {seeds} seeds")
    logit(repeats)


LOGIT = """
import sys, time
import numpy as np
sys.path.insert(0, {examples!r})
from ordinal_fit import simulate
from distribution import OrderedRegression
X, y = simulate()
times = []
for _ in range({repeats}):
    t0 = time.perf_counter()
    res = OrderedRegression(y, X, m=1).fit()
    times.append(time.perf_counter() - t0)
print(min(times), res.llf)
"""


def logit(repeats):
    """The ordered logit: this build, an earlier one (DISTRIBUTION_BASE) in
    a process of its own, and statsmodels' OrderedModel."""
    import subprocess

    X, y = simulate()
    rows = []
    script = LOGIT.format(examples=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"),
                          repeats=repeats)
    builds = [("this build", None)]
    if os.environ.get("DISTRIBUTION_BASE"):
        builds.append(("earlier build", os.environ["DISTRIBUTION_BASE"]))
    for name, site in builds:
        env = dict(os.environ, PYTHONPATH=site) if site else dict(os.environ)
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True,
                             cwd=os.path.dirname(os.path.abspath(__file__)))
        t, llf = map(float, out.stdout.split())
        rows.append((name, t, llf))
    try:
        from statsmodels.miscmodels.ordinal_model import OrderedModel

        t, res = best_time(lambda: OrderedModel(y, X, distr="logit").fit(method="bfgs", disp=False), repeats)
        rows.append(("statsmodels OrderedModel (bfgs)", t, res.llf))
    except ImportError:
        pass
    print("   ordered logit, m = 1:")
    for name, t, llf in rows:
        print(f"     {name:32s} {t:7.3f} s   log-likelihood {llf:.4f}   {t / rows[0][1]:5.2f} of this build")


# ------------------------------------- 2. scipy's generic fit of the family
class Generic(stats.rv_continuous):
    """The family for rv_continuous.fit: density proportional to
    q(t)^2 f(t), q = 1 + q1 t + q2 t^2 in t = (x - loc) / scale."""

    def _argcheck(self, q1, q2):
        return np.isfinite(q1) & np.isfinite(q2)

    def _logpdf(self, t, q1, q2):
        q = np.stack(np.broadcast_arrays(np.ones_like(q1), q1, q2), axis=-1)
        if q.ndim == 1:
            return accurate.logpdf(t, 0.0, 1.0, q)
        return accurate.logpdf(np.asarray(t)[..., None], 0.0, 1.0, q)[..., 0]

    def _pdf(self, t, q1, q2):
        return np.exp(self._logpdf(t, q1, q2))


def density(repeats):
    truth = AdjustedLogistic([1.0, 0.6, 0.25], loc=2.0, scale=1.5)
    x = truth.rvs(size=100_000, random_state=11)
    generic = Generic(name="generic_adjusted_logistic", shapes="q1, q2")
    loc0, scale0 = np.median(x), np.std(x) * np.sqrt(3) / np.pi
    t_scipy, est = best_time(lambda: generic.fit(x, 0.0, 0.0, loc=loc0, scale=scale0), repeats)
    llf_scipy = generic.logpdf(x, *est).sum()
    t_new, res = best_time(lambda: AdjustedLogistic.fit(x, m=3), repeats)
    print("2. density fit, 10^5 observations, m = 3")
    print(f"   scipy rv_continuous.fit:  {t_scipy:7.2f} s   log-likelihood {llf_scipy:.4f}   "
          "(no standard errors)")
    print(f"   AdjustedLogistic.fit:     {t_new:7.2f} s   log-likelihood {res.llf:.4f}   "
          f"relative gradient {res.rel_grad:.1e}")
    print(f"   speed-up {t_scipy / t_new:.2f}x;  standard errors", np.round(res.bse, 5))
    return x, res


def reproducible(x, res):
    again = AdjustedLogistic.fit(np.random.default_rng(0).permutation(x), m=3)
    diff = np.max(np.abs(again.params - res.params) / np.maximum(np.abs(res.params), 1.0))
    print(f"3. the same sample permuted: largest relative difference of the estimates {diff:.1e}")


def bootstrap(refits, n=10_000):
    truth = AdjustedLogistic([1.0, 0.6, 0.25], loc=0.0, scale=1.0)
    fit = AdjustedLogistic.fit(truth.rvs(size=n, random_state=5), m=3)
    free = ~fit.fixed
    rng = np.random.default_rng(6)
    estimates = np.array([AdjustedLogistic.fit(fit.dist.rvs(size=n, random_state=rng), m=3).params
                          for _ in range(refits)])
    spread = estimates.std(axis=0, ddof=1)
    print(f"4. standard errors against a parametric bootstrap, {refits} refits of {n} points")
    print("   parameter          " + " ".join(f"{name:>9}" for name, f in zip(fit.param_names, free) if f))
    print("   observed information " + " ".join(f"{v:9.5f}" for v in fit.bse[free]))
    print("   bootstrap spread     " + " ".join(f"{v:9.5f}" for v in spread[free]))
    print("   ratio                " + " ".join(f"{v:9.3f}" for v in (fit.bse / spread)[free]))


# ------------------------------------------------ 5. the cost of inference
def inference_costs(repeats):
    import warnings

    from distribution.models import inference

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
    from ordinal_fit import simulate

    X, y = simulate(20_000, 0)
    model = OrderedRegression(y, X, m=3)
    warnings.simplefilter("ignore", RuntimeWarning)
    t_fit, res = best_time(model.fit, repeats)
    block, point, p = model.observations().blocks[0], res._params[None, :5], res.noise.param[None]
    t_pass, _ = best_time(lambda: block.sums(point, p, 2), 5 * repeats)
    weighted = model.observations().blocks[0]
    weighted.weights = np.random.default_rng(0).integers(1, 5, block.n).astype(float)
    t_weighted, _ = best_time(lambda: weighted.sums(point, p, 2), 5 * repeats)
    requests = {kind: inference.CovarianceRequest(kind, np.arange(block.n) % 200 if kind == "cluster" else None,
                                                  block.n, False) for kind in ("robust", "cluster")}
    free = np.array([0, 1, 2, 3, 4, 6, 7])

    def sandwich(request):
        scores = block.scores(point, p)[:, free]
        if request.cov_type == "cluster":
            return inference.group_sums(scores, request.codes, request.n_groups)
        return request.meat_part(scores, None)

    costs = [("frequency weights", t_weighted - t_pass)]
    costs += [(f"{kind} covariance", best_time(lambda: sandwich(r), 5 * repeats)[0]) for kind, r in requests.items()]
    costs.append(("average marginal effects", best_time(res.get_margeff, 5 * repeats)[0]))
    print("5. inference on the ordered fit (20,000 observations, m = 3), in passes over the data: one pass, "
          f"the log-likelihood with its gradient and Hessian at one point, {1e3 * t_pass:.2f} ms (the whole "
          f"fit {t_fit:.2f} s)")
    for name, extra in costs:
        print(f"   {name:26} +{1e3 * extra:7.2f} ms   {extra / t_pass:5.2f} passes")


# ------------------------------------------------ 6. the LR test's size
def lr_size(samples, n=2000):
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)
    rng = np.random.default_rng(2026)
    pvalues = []
    for _ in range(samples):
        X = rng.normal(size=(n, 2))
        y = np.searchsorted([-1.0, 0.5, 2.0], X @ [1.0, -0.5] + rng.logistic(size=n))
        fits = OrderedRegression(y, X, m=2).select_degree(max_m=2).fits
        pvalues.append(fits[2].lr_test(fits[1]).pvalue)
    rate = np.mean(np.array(pvalues) < 0.05)
    print(f"6. LR test of m = 2 against the ordered logit, {samples} samples of {n} from the ordered logit: "
          f"rejects {100 * rate:.1f}% at the 5% level (Monte-Carlo standard error "
          f"{100 * np.sqrt(0.05 * 0.95 / samples):.1f}%)")


# ------------------------------------------ 7. survival times, 10^5 rows
def survival_times(n=100_000, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    noise = AdjustedLogistic([1.0, 0.5, 0.2]).rvs(n, random_state=rng)
    t = np.exp(2 + X @ [0.5, -0.3, 0.1] + 0.6 * noise)
    # Censoring times drawn so that about half the events are seen.
    c = np.exp(3.6 + 0.6 * rng.logistic(size=n))
    return X, np.minimum(t, c), (t <= c).astype(int)


def survival(repeats):
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)
    X, t, event = survival_times()
    print(f"7. SurvivalRegression on 10^5 times, {100 * (1 - event.mean()):.0f}% censored:")
    times = {}
    for m in (1, 3):
        times[m], res = best_time(lambda m=m: SurvivalRegression(t, event, X, m=m).fit(), repeats)
        print(f"   m = {m}: {times[m]:7.2f} s   llf {res.llf:.4f}   converged {res.converged}")
    print(f"   m = 3 / m = 1: {times[3] / times[1]:.2f}x")
    try:
        import pandas as pd
        from lifelines import LogLogisticAFTFitter
    except ImportError:
        print("   (lifelines not installed: pip install lifelines for its LogLogisticAFTFitter)")
        return
    df = pd.DataFrame(X, columns=["x1", "x2", "x3"]).assign(t=t, e=event)
    t_ll, fitter = best_time(lambda: LogLogisticAFTFitter().fit(df, "t", "e"), repeats)
    print(f"   lifelines LogLogisticAFTFitter: {t_ll:7.2f} s   llf {fitter.log_likelihood_:.4f};  "
          f"m = 1 is {t_ll / times[1]:.2f}x faster")


# -------------------------------- 8. the truth recovered under censoring
def censored_recovery(seeds, n=4000):
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)
    truth = np.array([1.0, 0.5, -0.3, 0.4])  # Intercept, x1, log_scale:Intercept, log_scale:z1
    p = np.array([1.0, 0.8, 0.3])
    slopes, constants, below = [], [], 0
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        x = rng.normal(size=n)
        y = truth[0] + truth[1] * x + np.exp(truth[2] + truth[3] * x) * AdjustedLogistic(p).rvs(n, random_state=rng)
        lower, upper = np.floor(2 * y) / 2, np.floor(2 * y) / 2 + 0.5
        exact = rng.uniform(size=n) < 0.3
        lower[exact] = upper[exact] = y[exact]
        # Censored at fixed points (the censoring says nothing more about y).
        lower[y > 3], upper[y > 3] = 3.0, np.inf
        lower[y < -1], upper[y < -1] = -np.inf, -1.0
        model = IntervalRegression(lower, upper, x, x, m=3)
        res = model.fit()
        z = np.abs(res.params[:4] - truth) / res.bse[:4]
        slopes.append(z[[1, 3]].max())
        constants.append(z[[0, 2]].max())
        below += res.llf < model.loglike(np.concatenate([truth, p]))
    print(f"8. censored data from m = 3, {seeds} seeds of {n}: the largest |estimate - truth| / se of the slopes "
          f"(x1, log_scale:z1) is {max(slopes):.2f} (median {np.median(slopes):.2f}); of the constants "
          f"{max(constants):.2f} (median {np.median(constants):.2f}); fits below the truth's llf: {below}")


# ------------------------------------------------------------- 9. against R
def r_seconds(script, repeats):
    """Best of `repeats` of R's own system.time of `script` (which reads its
    data first, untimed), or None where R or a package is missing."""
    import shutil
    import subprocess

    if shutil.which("Rscript") is None:
        return None
    code = script + f"""
best <- Inf
for (i in seq_len({repeats})) best <- min(best, system.time(fit())[["elapsed"]])
cat(best, "\\n")"""
    run = subprocess.run(["Rscript", "-e", code], capture_output=True, text=True)
    if run.returncode != 0:
        print(f"   (R failed: {run.stderr.strip().splitlines()[-1] if run.stderr.strip() else 'no output'})")
        return None
    return float(run.stdout.split()[-1])


def against_r(repeats):
    import tempfile

    import pandas as pd

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "data.csv")
        for n, k in ((20_000, 2), (1_000_000, 2), (50_000, 16)):
            rng = np.random.default_rng(n + k)
            X = rng.normal(size=(n, k))
            y = np.digitize(X @ rng.normal(0, 0.5, k) + rng.logistic(size=n), [-1.5, 0.0, 1.0])
            pd.DataFrame(X, columns=[f"x{i + 1}" for i in range(k)]).assign(y=y).to_csv(path, index=False)
            t_ours, res = best_time(lambda: OrderedRegression(y, X, m=1).fit(), repeats)
            t_r = r_seconds(f"""suppressMessages(library(ordinal)); d <- read.csv("{path}"); d$y <- factor(d$y, ordered = TRUE)
fit <- function() clm(y ~ ., data = d)""", repeats)
            ratio = f"{t_r / t_ours:.2f}x faster than clm ({t_r:.3f} s)" if t_r else "clm not run (Rscript or ordinal missing)"
            print(f"9. ordered logit, {n} obs x {k} columns: {t_ours:.3f} s, {ratio}")
        X, t, event = survival_times()
        pd.DataFrame(X, columns=["x1", "x2", "x3"]).assign(t=t, event=event).to_csv(path, index=False)
        t_ours, _ = best_time(lambda: SurvivalRegression(t, event, X, m=1).fit(), repeats)
        t_r = r_seconds(f"""suppressMessages(library(survival)); d <- read.csv("{path}")
fit <- function() survreg(Surv(t, event) ~ x1 + x2 + x3, data = d, dist = "loglogistic")""", repeats)
        ratio = f"{t_r / t_ours:.2f}x faster than survreg ({t_r:.3f} s)" if t_r else "survreg not run"
        print(f"9. log-logistic AFT, {t.size} times: {t_ours:.3f} s, {ratio}")


# ----------------------------------- 10. the tests of clm, profile intervals
def tests_and_profiles(repeats):
    import warnings

    import pandas as pd

    from distribution.models import profile

    data = pd.read_csv(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "R",
                                    "soup.csv"))
    data["SURENESS"] = pd.Categorical(data["SURENESS"], ordered=True)
    warnings.simplefilter("ignore", RuntimeWarning)
    for m in (1, 3):
        model = OrderedRegression.from_formula("SURENESS ~ PROD + C(DAY) + GENDER", data, m=m)
        t_fit, res = best_time(model.fit, repeats)
        t_nominal, _ = best_time(res.nominal_test, repeats)
        t_scale, _ = best_time(res.scale_test, repeats)
        calls = [0]
        constrained = profile._constrained

        def counted(*args):
            calls[0] += 1
            return constrained(*args)

        profile._constrained = counted
        try:
            t_profile, _ = best_time(lambda: res.conf_int(method="profile"), 1)
        finally:
            profile._constrained = constrained
        free = int((~res.fixed).sum())
        print(f"10. soup, m = {m}: fit {t_fit:.3f} s; nominal_test {t_nominal / t_fit:.2f} fits, scale_test "
              f"{t_scale / t_fit:.2f} fits (3 terms each); profile intervals {t_profile:.2f} s, "
              f"{calls[0] / free:.1f} Newton paths per parameter ({free} parameters)")


# ------------------------------------------- 11. the fits against their floor
def newton_calls(fit):
    """fit(), with every Newton run of the search it makes: (objective,
    points in, points out), in order."""
    from distribution.models import search

    calls, newton = [], search.newton

    def recorded(objective, points, *args, **kwargs):
        out = newton(objective, points, *args, **kwargs)
        calls.append((objective, points, out))
        return out

    search.newton = recorded
    try:
        return fit(), calls
    finally:
        search.newton = newton


def floor_entry(calls, full):
    """The objective on all the data and the point where the winning
    candidate entered its full-data phase: its point going into the last
    Newton run on all the data or, where the screening ran on all of it
    (`full` then), the first start of that run that reached the winner."""
    from distribution.models import search

    objective, going, done = calls[-1]
    best = done.take([int(np.argmin(done.f))])
    if not full:
        return objective, going.take([int(np.argmin(done.f))])
    screening, starts, screened = calls[-2]
    first = next(i for i in range(len(screened)) if search._same(screened.take([i]), best, 1e-6))
    return objective, starts.take([first])


PEAK = """
import sys
import numpy as np
sys.path.insert(0, {examples!r})
from ordinal_fit import simulate
from distribution import OrderedRegression
X, y = simulate({n}, {seed})
def kib(field):
    with open("/proc/self/status") as fh:
        return next(int(line.split()[1]) for line in fh if line.startswith(field))
before = kib("VmRSS")
with open("/proc/self/clear_refs", "w") as fh:
    fh.write("5")
OrderedRegression(y, X, m=3).fit()
print((kib("VmHWM") - before) / 1024)
"""


def peak_above(n, seed):
    """The peak resident memory of an m = 3 fit on simulate(n, seed) above
    the process's before it, as text: in a process of its own, whose heap
    no earlier fit has grown (Linux's /proc: the peak reset first)."""
    import subprocess

    if not os.path.exists("/proc/self/clear_refs"):
        return "(not measured: no /proc)"
    script = PEAK.format(examples=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"),
                         n=n, seed=seed)
    # From the benchmarks' folder: the package installed, not the source tree.
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                         cwd=os.path.dirname(os.path.abspath(__file__)))
    return f"{float(out.stdout.split()[-1]):.0f} MiB"


def fits_against_floor(repeats, seeds):
    """The whole fit at m = 3 against one Newton path on all the data from
    where the winning candidate entered the full-data phase (the floor)."""
    import warnings

    from distribution.models import regression, search

    warnings.simplefilter("ignore", RuntimeWarning)
    print("11. OrderedRegression(m=3) against its floor, one Newton path on all the data from the winner's entry")
    for n in (2_000, 20_000, 1_000_000):
        ratios = []
        for seed in range(seeds if n < 10**6 else 1):
            X, y = simulate(n, seed)
            t_fit, (res, calls) = best_time(lambda: newton_calls(lambda: OrderedRegression(y, X, m=3).fit()),
                                            repeats)
            objective, entry = floor_entry(calls, n < 2 * regression.SKETCH)
            t_floor, path = best_time(lambda: search.newton(objective, entry), repeats)
            ratios.append(t_fit / t_floor)
            if n == 10**6:
                print(f"    n = {n}: fit {t_fit:.2f} s, floor {t_floor:.2f} s ({int(path.nit[0])} steps): "
                      f"{ratios[-1]:.1f}x; the path ends {-path.f[0] * objective.nobs - res.llf:+.1e} from the fit; "
                      f"peak memory above the data {peak_above(n, seed)}")
        if n < 10**6:
            print(f"    n = {n}, {seeds} seeds: fit / floor min {min(ratios):.1f}, median {np.median(ratios):.1f}, "
                  f"max {max(ratios):.1f}")
    rng = np.random.default_rng(5)
    X = rng.normal(size=(100_000, 2))
    z = X @ [0.8, -0.5] + AdjustedLogistic([1.0, 0.5, 0.3]).rvs(100_000, random_state=rng)
    times = {}
    for K in (4, 100):
        y = np.searchsorted(np.quantile(z, np.linspace(0, 1, K + 1)[1:-1]), z)
        times[K], res = best_time(lambda: OrderedRegression(y, X, m=3).fit(), repeats)
        print(f"    {K} categories, 10^5 obs: {times[K]:.2f} s, llf {res.llf:.4f}, converged {res.converged}")
    print(f"    100 categories / 4: {times[100] / times[4]:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one repeat, 3 seeds, 20 bootstrap refits")
    args = parser.parse_args()
    repeats = 1 if args.quick else 3
    ordered(1, 3 if args.quick else 20)
    x, res = density(repeats)
    reproducible(x, res)
    bootstrap(20 if args.quick else 200)
    inference_costs(repeats)
    lr_size(40 if args.quick else 400)
    survival(repeats)
    censored_recovery(5 if args.quick else 20)
    against_r(repeats)
    tests_and_profiles(repeats)
    fits_against_floor(repeats, 3 if args.quick else 10)


if __name__ == "__main__":
    main()
