"""Importing the extension when NumPy's core extension module is unavailable; the version."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path


def test_import_fails_cleanly_without_numpy_core(tmp_path):
    # Blocking the compiled core of NumPy makes every import of it fail; the
    # module must report that as ImportError, with the cause on stderr.
    script = textwrap.dedent(
        """
        import sys
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            import distribution.cdf_ufunc
        except ImportError as exc:
            print("ImportError:", exc)
            sys.exit(0)
        sys.exit("imported")
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd=tmp_path
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip() == "ImportError: numpy._core.multiarray failed to import"
    # The cause, printed before the ImportError replaced it.
    assert "numpy.core._multiarray_umath" in proc.stderr


def test_version_is_the_installed_metadata_of_meson_build():
    import distribution

    meson = (Path(__file__).resolve().parents[1] / "meson.build").read_text()
    assert distribution.__version__ == re.search(r"version\s*:\s*'([^']+)'", meson)[1]
