"""The model core shared by every fit, and the models on it.

The core: one location-scale likelihood with its exact derivatives
(`likelihood`), the search for its maximum (`search`) from the starts of
`starts`, weights and covariances (`inference`), the observations in
chunks and what every regression shares (`regression`), the check for
separated data (`separation`), formulas (`formula`) and the results
(`results`).  The models: `density` (the fit
of the distribution to a sample), `ordered`, `interval` and `survival`.
A model supplies its bounds, designs, names and starts
(`regression.RegressionModel`); the core never imports a model.
"""
