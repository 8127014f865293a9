"""Write distribution/accurate.pyi, the typing stub of the compiled module,
from the module itself: every generalized ufunc it registers, in its order,
with its signature and summary (the table of distribution/accurate.cpp),
then its plain functions with their parameters (typed by name below).

Run after a change to that table:  python tools/make_stub.py
The suite checks that the stub in the tree is what this writes.
"""

import inspect
import os

import numpy as np

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "distribution", "accurate.pyi")


# The types of the plain functions' parameters (arrays unless named here)
# and results.
PARAMETERS = {"weights": "npt.ArrayLike | None", "want": "int",
              "truncation": "tuple[npt.ArrayLike, npt.ArrayLike] | None", "threads": "int | None", "floor": "float"}
ARRAY = "npt.NDArray[np.float64]"
RESULTS = {"_location_scale_sums": f"tuple[{ARRAY}, {ARRAY}, {ARRAY}]", "_symmetric_eigen": f"tuple[{ARRAY}, {ARRAY}]",
           "_newton_steps": f"tuple[{ARRAY}, npt.NDArray[np.bool_]]"}


def function_stub(name, function):
    """The typed `def` of a plain function, from its text signature."""
    parts, keyword = [], False
    for parameter in inspect.signature(function).parameters.values():
        if parameter.kind is parameter.KEYWORD_ONLY and not keyword:
            parts.append("*")
            keyword = True
        default = "" if parameter.default is parameter.empty else " = ..."
        parts.append(f"{parameter.name}: {PARAMETERS.get(parameter.name, 'npt.ArrayLike')}{default}")
    summary = " ".join(function.__doc__.split("\n\n")[0].split())
    return [f"# {summary}", f"def {name}({', '.join(parts)}) -> {RESULTS.get(name, ARRAY)}: ..."]


def render(module):
    lines = ["# Stub for the compiled module distribution/accurate.cpp, written by tools/make_stub.py.",
             "", "from typing import Final", "", "import numpy as np", "import numpy.typing as npt", ""]
    for name, ufunc in vars(module).items():
        if isinstance(ufunc, np.ufunc):
            summary = ufunc.__doc__.split("\n\n")[1].strip()
            lines += [f"# {ufunc.signature}: {summary}", f"{name}: Final[np.ufunc] = ..."]
    for name, function in vars(module).items():
        if inspect.isbuiltin(function):
            lines += function_stub(name, function)
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    from distribution import accurate

    with open(STUB, "w") as fh:
        fh.write(render(accurate))
    print("wrote", os.path.normpath(STUB))
