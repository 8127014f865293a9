"""Importing the extension when NumPy's core extension module is unavailable."""

import subprocess
import sys
import textwrap


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
