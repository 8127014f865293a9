"""Survival times with a flexible noise: the accelerated failure time model
log T = x b + exp(z g) e on Rossi's recidivism data (432 released
prisoners, weeks to first arrest within a year, 318 censored at 52 weeks).

SurvivalRegression fits m = 1 (the log-logistic AFT model, lifelines'
LogLogisticAFTFitter) to m = 4 from one search, chooses m by BIC and prints
its summary; then the fitted survival curves of four profiles (financial
aid or not, no or five and more prior convictions) at BIC's m, with their
95% bands, and at another, over the Kaplan-Meier estimate of each profile's group of the data
(written here, for the example only).

Writes docs/survival_fit.png.  Needs matplotlib and pandas
(pip install -r requirements-examples.txt).
"""

import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from distribution import SurvivalRegression  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "rossi.csv"


def kaplan_meier(t, event):
    """The product-limit estimate: its steps' times and S just after each."""
    times = np.unique(t[event])
    at_risk = np.array([(t >= s).sum() for s in times])
    deaths = np.array([((t == s) & event).sum() for s in times])
    return times, np.cumprod(1 - deaths / at_risk)


def main():
    df = pd.read_csv(DATA, comment="#")
    covariates = df.drop(columns=["week", "arrest"])
    model = SurvivalRegression(df["week"], df["arrest"], covariates, m=4)
    table = model.select_degree(max_m=4)
    print("Degrees of p from one search (LR test against the log-logistic AFT model):")
    print(table)
    best = table.best("bic")
    print(f"\nBIC chooses m = {best.model.m}:\n")
    print(best.summary())
    print()
    print(best.noise_summary())

    weeks = np.linspace(0.5, 52, 200)
    profiles = {"aid, no priors": (1, 0), "aid, 5+ priors": (1, 5), "no aid, no priors": (0, 0),
                "no aid, 5+ priors": (0, 5)}
    # Beside BIC's choice, the most flexible fit (or the logistic, if BIC chose more).
    other = max(table.fits) if best.model.m == 1 else 1
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for (label, (fin, prio)), colour in zip(profiles.items(), ["C0", "C1", "C2", "C3"]):
        group = (df["fin"] == fin) & ((df["prio"] >= 5) if prio else (df["prio"] == 0))
        profile = covariates[group].mean().to_frame().T
        for m, style in ((other, ":"), (best.model.m, "-")):
            curve = table.fits[m].predict_survival_function(profile, weeks).to_numpy()[:, 0]
            ax.plot(weeks, curve, style, color=colour, label=label if style == "-" else None)
        # BIC's fit with its pointwise 95% band (delta method on log(-log S)).
        band = best.predict_survival_function(profile, weeks, alpha=0.05)
        ax.fill_between(weeks, band.lower.to_numpy()[:, 0], band.upper.to_numpy()[:, 0], color=colour, alpha=0.12)
        t, s = kaplan_meier(df["week"][group].to_numpy(), df["arrest"][group].to_numpy() == 1)
        ax.step(np.concatenate([[0], t]), np.concatenate([[1], s]), where="post", color=colour, alpha=0.4)
    ax.set_xlabel("weeks since release")
    ax.set_ylabel("share not yet re-arrested")
    ax.set_title(f"Fitted survival (solid: BIC's m = {best.model.m} with 95% bands, dotted: m = {other}) "
                 "over Kaplan-Meier", fontsize=10)
    ax.legend(fontsize=8)
    out = Path(__file__).resolve().parent.parent / "docs" / "survival_fit.png"
    if os.access(out.parent, os.W_OK):
        fig.savefig(out, dpi=110, bbox_inches="tight")
        print(f"\nwrote {out}")


if __name__ == "__main__":
    main()
