"""A module built for another interpreter version warns when it loads.

Builds the gate once more with the test-only CMake option that records another
build-time version, then loads that copy in a fresh interpreter.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tests.conftest import python_env

pytestmark = pytest.mark.native_only  # the extension's own machinery

ROOT = Path(__file__).resolve().parents[2]
OTHER = "3.9" if sys.version_info[:2] != (3, 9) else "3.8"


@pytest.fixture(scope="module")
def gate_built_for_other_version(tmp_path_factory):
    cmake = shutil.which("cmake") or shutil.which("cmake", path=os.path.dirname(sys.executable))
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = tmp_path_factory.mktemp("other-version")
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(build),
        f"-DTERVIK_BUILT_FOR_VERSION={OTHER}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") or os.path.exists(
        os.path.join(os.path.dirname(sys.executable), "ninja")
    ):
        configure += ["-G", "Ninja"]
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    for step in (configure, [cmake, "--build", str(build), "--target", "gatehouse"]):
        done = subprocess.run(step, capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stdout + done.stderr
    (library,) = glob.glob(str(build / "gatehouse*.so")) or glob.glob(
        str(build / "**/gatehouse*.pyd"), recursive=True
    )
    return library


def load(library: str, warnings_as: str) -> subprocess.CompletedProcess:
    code = f"""
        import importlib.util, warnings
        warnings.simplefilter({warnings_as!r})
        spec = importlib.util.spec_from_file_location("tervik.mcp.gatehouse", {library!r})
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
            print("loaded", module.ApiKeyGatehouse.__name__)
        except RuntimeWarning as w:
            print("refused:", w)
    """
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=python_env(),
    )


def test_version_mismatch_warns_and_loads(gate_built_for_other_version):
    major, minor = sys.version_info[:2]
    expected = (
        f"compile time Python version {OTHER} of module 'tervik.mcp.gatehouse' "
        f"does not match runtime version {major}.{minor}"
    )
    shown = load(gate_built_for_other_version, "always")
    assert "loaded ApiKeyGatehouse" in shown.stdout, shown.stderr
    assert f"RuntimeWarning: {expected}" in shown.stderr
    refused = load(gate_built_for_other_version, "error")
    assert refused.stdout.strip() == f"refused: {expected}", refused.stderr


def test_the_regular_build_does_not_warn():
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import tervik.mcp.gatehouse"],
        capture_output=True,
        text=True,
        env=python_env(),
    )
    assert result.returncode == 0, result.stderr
