"""README's shell commands as a user types them: the sdist holds what they use, the install
commands work in fresh virtualenvs from an unpacked sdist, the drop-in wheel leaves the host
package alone, and ``make test`` runs from the unpacked sdist."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from tests.conftest import SANITIZER_RUN
from tests.readme.conftest import ROOT, code_blocks

pytestmark = pytest.mark.skipif(SANITIZER_RUN, reason="builds and installs plain builds")

INSTALL = "Install it into your own project"
# Where README's other commands run: each is run by a test or by CI as README shows it.
RUN_ELSEWHERE = {
    "make demo": "tests/demo (with ARGS=--port 0: port 8000 may be taken)",
    'make demo ARGS="--port 0"': "tests/demo/test_demo.py::test_make_demo_as_the_readme_says",
    "python -m tervik.amazon_rufus.capture --asin B0ABC --country us":
        "tests/browser/test_capture_command.py",
    "bash .ci/run": "CI",
    "make sanitize": ".ci/run",
    "make bench": "by hand (10 minutes): the quick run below runs the same programs",
    "make bench BENCH_ARGS=--quick": "test_make_bench_from_the_unpacked_sdist below",
}  # fmt: skip
# Files the host's own distribution holds in the stand-in below: the stand-ins of this tree.
HOST_FILES = [
    "tervik/__init__.py",
    "tervik/py.typed",
    "tervik/mcp/__init__.py",
    "tervik/mcp/context.py",
    "tervik/amazon_rufus/__init__.py",
    "tervik/amazon_rufus/services/__init__.py",
    "tervik/amazon_rufus/domain/__init__.py",
    "tervik/amazon_rufus/domain/exceptions.py",
    "tervik/amazon_rufus/domain/models.py",
]
# This interpreter's own Python, outside any virtualenv, as a user would start from.
BASE_PYTHON = Path(sys.base_prefix, "bin", f"python{sys.version_info[0]}.{sys.version_info[1]}")
MODULES = ("tervik.mcp.gatehouse", "tervik.mcp.secure", "tervik.amazon_rufus.services.browser")


def sh_commands(block: str) -> list[str]:
    lines = (line.split("  #")[0].strip() for line in block.splitlines())
    return [line for line in lines if line and not line.startswith("#")]


def install_blocks() -> tuple[list[str], list[str]]:
    """README's install commands: the package's (pip, the wheel), then the drop-in wheel's."""
    blocks = [block.code for block in code_blocks("sh") if block.heading == INSTALL]
    drop_in = [sh_commands(block) for block in blocks if "./extensions" in block]
    package = [
        line for block in blocks if "./extensions" not in block for line in sh_commands(block)
    ]
    assert len(drop_in) == 1 and package, "README's install section changed shape"
    return package, drop_in[0]


def test_every_command_readme_shows_is_run() -> None:
    package, drop_in = install_blocks()
    shown = {line for block in code_blocks("sh") for line in sh_commands(block.code)}
    assert shown - set(package) - set(drop_in) == set(RUN_ELSEWHERE)


# --- the sdist ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("sdist")
    code = "import sys, scikit_build_core.build as b; b.build_sdist(sys.argv[1])"
    subprocess.run([sys.executable, "-c", code, str(folder)], cwd=ROOT, check=True,
                   capture_output=True)  # fmt: skip
    [archive] = folder.glob("tervik-*.tar.gz")
    return archive


@pytest.fixture
def source_tree(sdist: Path, tmp_path: Path) -> Path:
    """The sdist, unpacked (a copy of its own for each test)."""
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path, filter="data")
    [tree] = tmp_path.glob("tervik-*")
    return tree


def named_paths(file: Path) -> set[str]:
    """Paths of this tree that ``file`` names (relative to the root)."""
    found = set()
    for token in re.findall(r"[\w.-]*[\w-]/[\w./-]*[\w-]", file.read_text()):
        for base in (file.parent, ROOT):
            path = (base / token).resolve()
            if path.exists() and path.is_relative_to(ROOT) and ".venv" not in path.parts:
                found.add(path.relative_to(ROOT).as_posix())
    return found


def test_sdist_holds_every_file_its_files_name(sdist: Path) -> None:
    with tarfile.open(sdist) as archive:
        members = {name.partition("/")[2] for name in archive.getnames()}
    named = set()
    for name in ("Makefile", ".ci/run", "README.md", "extensions/pyproject.toml"):
        named |= named_paths(ROOT / name)
    assert {
        ".ci/lsan.supp",
        ".ci/floors.txt",
        "tests/sanitizer",
        "extensions/pyproject.toml",
    } <= named
    missing = {path for path in named if not any(m == path or m.startswith(path + "/")
                                                 for m in members)}  # fmt: skip
    assert missing == set()
    assert not [m for m in members if m.startswith(("build/", ".venv"))]


# --- fresh virtualenvs -------------------------------------------------------------------


def fresh_venv(path: Path) -> dict[str, str]:
    """A new virtualenv of this interpreter's Python; the environment that activates it."""
    subprocess.run([str(BASE_PYTHON), "-m", "venv", str(path)], check=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MAKE", "MFLAGS"))}
    env.pop("PYTHONPATH", None)
    env.update(VIRTUAL_ENV=str(path), PATH=f"{path / 'bin'}{os.pathsep}{env['PATH']}")
    return env


def sh(commands: list[str], cwd: Path, env: dict[str, str]) -> str:
    """Run the lines as a user's shell runs them, one after the other; their output."""
    run = subprocess.run(["bash", "-euc", "\n".join(commands)], cwd=cwd, env=env, text=True,
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=900)  # fmt: skip
    assert run.returncode == 0, f"{commands}:\n{run.stdout}\n{run.stderr}"
    return run.stdout


def host_wheel(folder: Path) -> Path:
    """A stand-in of the host tool's own ``tervik`` distribution: its modules (this tree's
    stand-ins), its marker and a command of its own, ``tervik``."""
    files = {name: (ROOT / "src" / name).read_bytes() for name in HOST_FILES}
    files["tervik/cli.py"] = b'def main() -> None:\n    print("the host tool")\n'
    info = "tervik-2.0.dist-info"
    files[f"{info}/METADATA"] = b"Metadata-Version: 2.1\nName: tervik\nVersion: 2.0\n"
    files[f"{info}/WHEEL"] = b"Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    files[f"{info}/entry_points.txt"] = b"[console_scripts]\ntervik = tervik.cli:main\n"
    record = io.StringIO()
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write(f"{name},sha256={digest},{len(data)}\n")
    record.write(f"{info}/RECORD,,\n")
    files[f"{info}/RECORD"] = record.getvalue().encode()
    wheel = folder / "tervik-2.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    return wheel


def python(env: dict[str, str], code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["python", "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.slow
def test_drop_in_wheel_leaves_the_host_package_alone(source_tree: Path, tmp_path: Path) -> None:
    env = fresh_venv(tmp_path / "venv")
    sh([f"pip install -q {host_wheel(tmp_path)}"], tmp_path, env)
    site = Path(python(env, "import tervik, os; print(os.path.dirname(tervik.__path__[0]))")
                .stdout.strip())  # fmt: skip

    def host_state() -> dict[str, bytes]:
        return {name: (site / name).read_bytes() for name in [*HOST_FILES, "tervik/cli.py"]}

    before = host_state()
    _, drop_in = install_blocks()
    sh(drop_in, source_tree, env)  # as README shows it

    assert host_state() == before
    assert sh(["tervik"], tmp_path, env) == "the host tool\n"
    loaded = python(env, f"import {', '.join(MODULES)}, tervik.mcp.context\n"
                         "from tervik.mcp.secure import SecureGatehouse\n"
                         "print(SecureGatehouse(None, api_key='k').app)")  # fmt: skip
    assert loaded.stdout == "None\n", loaded.stderr
    assert not list((tmp_path / "venv/bin").glob("tervik-*"))  # no commands of its own
    for stub in ("mcp/gatehouse.pyi", "mcp/secure.pyi", "amazon_rufus/services/browser.pyi"):
        assert (site / "tervik" / stub).is_file()
    assert (site / "tervik/mcp/keys.py").is_file()  # what keys_file= reads the file with

    sh(["pip uninstall -q -y tervik-extensions"], tmp_path, env)
    assert host_state() == before
    assert sh(["tervik"], tmp_path, env) == "the host tool\n"
    assert not list(site.glob("tervik/**/*.so")) and not list(site.glob("tervik/**/*.pyi"))
    assert not (site / "tervik/mcp/keys.py").exists()
    gone = python(env, "import tervik.mcp.context, tervik.mcp.gatehouse")
    assert "No module named 'tervik.mcp.gatehouse'" in gone.stderr


@pytest.mark.slow
def test_install_commands_in_a_fresh_venv(source_tree: Path, tmp_path: Path) -> None:
    env = fresh_venv(tmp_path / "venv")
    package, _ = install_blocks()
    sh(package, source_tree, env)  # as README shows them
    loaded = python(env, f"import {', '.join(MODULES)}, mcp.server.mcpserver, uvicorn")
    assert loaded.returncode == 0, loaded.stderr
    assert "--demo-backend" in sh(["tervik-mcp-demo --help"], tmp_path, env)
    [wheel] = (source_tree / "dist").glob("tervik-0*.whl")
    with zipfile.ZipFile(wheel) as archive:
        assert "tervik/mcp/context.py" in archive.namelist()


@pytest.mark.slow
def test_make_test_from_the_unpacked_sdist(source_tree: Path, tmp_path: Path) -> None:
    env = fresh_venv(tmp_path / "unused")  # only for a clean environment; make makes .venv
    out = sh([f"make test PYTHON={BASE_PYTHON} PYTEST_ARGS='-k \"importing_a_package or "
              "built_for_this_interpreter or test_ruff\"'"], source_tree, env)  # fmt: skip
    assert re.search(r"\b\d+ passed\b", out) and "failed" not in out, out


@pytest.mark.slow
def test_make_bench_from_the_unpacked_sdist(source_tree: Path, tmp_path: Path) -> None:
    env = fresh_venv(tmp_path / "unused")
    out = sh([f"make bench PYTHON={BASE_PYTHON} BENCH_ARGS=--quick"], source_tree, env)
    for program in ("gate_overhead", "gate_wire", "soak", "secure_gate"):
        assert f"== bench/{program}.py" in out
    assert "saved bench/results/gate_overhead-" in out  # its JSON and chart
