"""The model core shared by every fit, and the models on it.

The core: the contract of a model's observations (`block`), one
location-scale likelihood with its exact derivatives (`likelihood`,
compiled; `dense`, NumPy's chain rule for designs the compiled one's sparse
ends do not hold), the search for its maximum (`search`) from the starts of
`starts`, the map to the reported parameters (`parameters`), weights and
covariances (`inference`), the observations in chunks and what every
regression shares (`regression`), profile-likelihood intervals (`profile`),
the detection of separation (`separation`), formulas (`formula`), the fit's
diagnostics (`diagnostics`) and the results (`results`).  The models:
`density` (the fit of the distribution to a sample), `binary`, `ordered`
(with `ordered_data` and `effect_tests`), `interval` and `survival`.  A
model supplies its data, blocks, names and starts through the contract of
`regression.RegressionModel`; the core never imports a model.
"""
