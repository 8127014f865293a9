"""Binary choice with a flexible noise on the Pima Indians diabetes data
(MASS::Pima.tr, 200 women; diabetes by the WHO criterion against plasma
glucose, body mass index and the diabetes pedigree function).

BinaryRegression fits m = 1 (logistic regression, statsmodels' Logit) to
m = 4 from one search, prints the degree table and the summary of BIC's
choice with its average marginal effects on P(diabetes); then plots the
predicted probability against glucose at the other covariates' means for
m = 1 and the most flexible fit, over the observed shares in glucose bins.

Writes docs/binary_fit.png.  Needs matplotlib and pandas
(pip install -r requirements-examples.txt).
"""

import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from distribution import BinaryRegression  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "pima_tr.csv"


def main():
    df = pd.read_csv(DATA)
    model = BinaryRegression.from_formula("type ~ glu + bmi + ped", df, m=4)
    table = model.select_degree(max_m=4)
    print("Degrees of p from one search (LR test against logistic regression):")
    print(table)
    best = table.best("bic")
    print(f"\nBIC chooses m = {best.model.m}:\n")
    print(best.summary())
    print()
    print(best.get_margeff())

    glucose = np.linspace(df["glu"].min(), df["glu"].max(), 200)
    profile = pd.DataFrame({"Intercept": 1.0, "glu": glucose, "bmi": df["bmi"].mean(), "ped": df["ped"].mean()})
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for m, style in ((1, ":"), (4, "-")):
        ax.plot(glucose, table.fits[m].predict(profile), style, color="C0", label=f"m = {m}")
    bins = pd.qcut(df["glu"], 8)
    shares = df.assign(yes=df["type"] == "Yes").groupby(bins, observed=True).agg(glu=("glu", "mean"),
                                                                                  yes=("yes", "mean"))
    ax.plot(shares["glu"], shares["yes"], "o", color="C1", label="observed share (glucose octiles)")
    ax.set_xlabel("plasma glucose (mg/dl)")
    ax.set_ylabel("P(diabetes)")
    ax.set_title("Pima.tr: P(diabetes) at the mean BMI and pedigree", fontsize=10)
    ax.legend(fontsize=8)
    out = Path(__file__).resolve().parent.parent / "docs" / "binary_fit.png"
    if os.access(out.parent, os.W_OK):
        fig.savefig(out, dpi=110, bbox_inches="tight")
        print(f"\nwrote {out}")


if __name__ == "__main__":
    main()
