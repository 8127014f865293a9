"""cdf through xarray.apply_ufunc, on NumPy data and with dask="parallelized"."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from distribution import cdf  # noqa: E402

CORE = dict(input_core_dims=[["pt"], [], [], ["coef"]], output_core_dims=[["pt"]])

PTS = np.linspace(-6.0, 6.0, 41)
CASES_LOC = np.array([-1.0, 0.0, 0.5, 2.0])
PARAM = np.array([[1.0, 0.5, 0.0], [0.2, -1.0, 0.3], [2.0, 0.0, 0.1], [1.0, 1.0, 1.0]])


def labelled(values, dims):
    coords = {d: np.arange(s) * 10 for d, s in zip(dims, np.shape(values)) if d != "coef"}
    return xr.DataArray(values, dims=dims, coords=coords)


# name: (x, loc, scale, param) as DataArrays or numbers, the expected dims,
# and the arguments of the equivalent NumPy call.
CASES = {
    "one-vector": (
        lambda: (labelled(PTS, ["pt"]), 0.3, 1.7, labelled(PARAM[0], ["coef"])),
        ("pt",),
        (PTS, 0.3, 1.7, PARAM[0]),
    ),
    "per-case": (
        lambda: (
            labelled(PTS + CASES_LOC[:, None], ["case", "pt"]),
            labelled(CASES_LOC, ["case"]),
            0.9,
            labelled(PARAM, ["case", "coef"]),
        ),
        ("case", "pt"),
        (PTS + CASES_LOC[:, None], CASES_LOC, 0.9, PARAM),
    ),
    # the points axis first: apply_ufunc moves it last
    "points-first": (
        lambda: (
            labelled((PTS + CASES_LOC[:, None]).T, ["pt", "case"]),
            labelled(CASES_LOC, ["case"]),
            -1.1,
            labelled(PARAM, ["case", "coef"]),
        ),
        ("case", "pt"),
        (PTS + CASES_LOC[:, None], CASES_LOC, -1.1, PARAM),
    ),
    # outer product over locations and models, by dimension name
    "outer": (
        lambda: (
            labelled(PTS, ["pt"]),
            labelled(CASES_LOC, ["loc"]),
            labelled(np.array([0.5, 1.0, 2.0]), ["scale"]),
            labelled(PARAM, ["model", "coef"]),
        ),
        ("loc", "scale", "model", "pt"),
        (
            PTS,
            CASES_LOC[:, None, None],
            np.array([0.5, 1.0, 2.0])[:, None],
            PARAM,
        ),
    ),
}


def chunked(arg):
    if isinstance(arg, xr.DataArray):
        return arg.chunk({d: 2 for d in arg.dims if d not in ("pt", "coef")} or {})
    return arg


@pytest.mark.parametrize("backend", ["numpy", "dask"])
@pytest.mark.parametrize("case", list(CASES))
def test_apply_ufunc_matches_numpy(case, backend):
    make, dims, eager = CASES[case]
    args = make()
    if backend == "dask":
        pytest.importorskip("dask.array")
        args = [chunked(a) for a in args]
        result = xr.apply_ufunc(cdf, *args, **CORE, dask="parallelized", output_dtypes=[float])
        assert result.chunks is not None
        result = result.compute(scheduler="threads")
    else:
        result = xr.apply_ufunc(cdf, *args, **CORE)
    assert result.dims == dims
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result.values, cdf(*eager))
    # labels carried through from the inputs
    np.testing.assert_array_equal(result["pt"].values, np.arange(PTS.size) * 10)
