"""Write distribution/accurate.pyi, the typing stub of the compiled module,
from the module itself: every generalized ufunc it registers, in its order,
with its signature and summary (the table of distribution/accurate.cpp).

Run after a change to that table:  python tools/make_stub.py
The suite checks that the stub in the tree is what this writes.
"""

import os

import numpy as np

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "distribution", "accurate.pyi")


def render(module):
    lines = ["# Stub for the compiled module distribution/accurate.cpp, written by tools/make_stub.py.",
             "", "from typing import Final", "", "import numpy as np", ""]
    for name, ufunc in vars(module).items():
        if isinstance(ufunc, np.ufunc):
            summary = ufunc.__doc__.split("\n\n")[1].strip()
            lines += [f"# {ufunc.signature}: {summary}", f"{name}: Final[np.ufunc] = ..."]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    from distribution import accurate

    with open(STUB, "w") as fh:
        fh.write(render(accurate))
    print("wrote", os.path.normpath(STUB))
