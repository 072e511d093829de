"""The installed distribution: where the extensions land and what importing a package loads."""

from __future__ import annotations

import email.message
import importlib.util
import json
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from tervik.amazon_rufus.domain.models import SeedRequestRecord
from tests.conftest import SANITIZER_RUN, python_env

ROOT = Path(__file__).resolve().parents[1]
EXTENSIONS = {
    "tervik.mcp.gatehouse": "src/tervik/mcp/gatehouse.cpp",
    "tervik.mcp.secure": "src/tervik/mcp/secure.cpp",
    "tervik.amazon_rufus.services.browser": "src/tervik/amazon_rufus/services/browser.cpp",
}


@pytest.mark.parametrize(
    "package",
    [
        "tervik",
        "tervik.mcp",
        "tervik.mcp.context",
        "tervik.amazon_rufus.services",
        "tervik.amazon_rufus.domain.models",
    ],
)
def test_importing_a_package_loads_no_extension(package: str) -> None:
    code = f"import sys, {package}; print(sorted(set(sys.modules) & {set(EXTENSIONS)!r}))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"


@pytest.mark.parametrize(("module", "source"), EXTENSIONS.items())
def test_extension_is_built_for_this_interpreter_under_its_package(
    module: str, source: str
) -> None:
    if not (ROOT / source).exists():
        pytest.skip(f"{source} does not exist yet")
    spec = importlib.util.find_spec(module)
    assert spec is not None and spec.origin is not None
    origin = Path(spec.origin)
    package, _, name = module.rpartition(".")
    assert origin.name == name + sysconfig.get_config_var("EXT_SUFFIX")
    assert origin.parent.parts[-len(package.split(".")) :] == tuple(package.split("."))


def test_seed_record_dict_is_json_ready_and_detached() -> None:
    headers = {"content-type": "application/json", "x-amz-rufus": "1"}
    record = SeedRequestRecord(
        request_url="https://www.amazon.com/rufus/cl/streaming",
        request_headers=headers,
        request_body="{}",
        page_url="https://www.amazon.com/dp/B0TEST0001",
        tab_id="4F1C",
        asin="B0TEST0001",
        country="US",
        captured_at=1_700_000_000_123,
    )
    data = record.to_dict()
    assert json.loads(json.dumps(data)) == data
    assert data["request_headers"] == headers and data["captured_at"] == 1_700_000_000_123
    data["request_headers"]["cookie"] = "changed"
    assert "cookie" not in record.request_headers


# Files of the host package's own that the extensions-only wheel must not carry.
HOST_FILES = {
    "tervik/__init__.py",
    "tervik/mcp/__init__.py",
    "tervik/mcp/context.py",
    "tervik/amazon_rufus/domain/models.py",
    "tervik/py.typed",
}
STUBS = {
    "tervik/mcp/gatehouse.pyi",
    "tervik/mcp/secure.pyi",
    "tervik/amazon_rufus/services/browser.pyi",
}


@pytest.fixture(scope="module")
def wheels(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """The wheels of both distributions, built from this tree (the drop-in one twice: as it
    is, and with the py.typed marker for a host that ships none)."""
    built = {}
    for kind, source, env in (
        ("default", ROOT, {}),
        ("extensions", ROOT / "extensions", {}),
        ("extensions, marked typed", ROOT / "extensions", {"TERVIK_PY_TYPED": "1"}),
    ):
        folder = tmp_path_factory.mktemp("wheel")
        subprocess.run(
            [sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
             "-w", str(folder), str(source)],
            check=True, env=python_env(**env), capture_output=True,
        )  # fmt: skip
        [built[kind]] = folder.glob("*.whl")
    return built


def wheel_metadata(wheel: Path) -> tuple[set[str], email.message.Message]:
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        text = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA")))
    return names, email.message_from_bytes(text)


@pytest.mark.skipif(SANITIZER_RUN, reason="builds plain wheels; nothing sanitized to check")
@pytest.mark.parametrize(
    ("kind", "name"),
    [
        ("default", "tervik"),
        ("extensions", "tervik-extensions"),
        ("extensions, marked typed", "tervik-extensions"),
    ],
)
def test_wheel_contents(wheels: dict[str, Path], kind: str, name: str) -> None:
    names, metadata = wheel_metadata(wheels[kind])
    package = {name for name in names if not name.split("/")[0].endswith(".dist-info")}
    extensions = {name for name in package if name.endswith(sysconfig.get_config_var("EXT_SUFFIX"))}
    assert len(extensions) == len(EXTENSIONS)
    assert not [name for name in names if name.endswith((".cpp", ".hpp"))]
    [license_file] = [name for name in names if name.endswith(".dist-info/licenses/LICENSE")]
    with zipfile.ZipFile(wheels[kind]) as archive:
        assert archive.read(license_file) == (ROOT / "LICENSE").read_bytes()
    assert metadata["Name"] == name and metadata["License-Expression"] == "MIT"
    entry_points = any(name.endswith(".dist-info/entry_points.txt") for name in names)
    own = extensions | STUBS | {"tervik/mcp/keys.py"}  # the keys file's reader, which is ours
    if kind == "extensions":
        assert package == own and not entry_points
    elif kind == "extensions, marked typed":  # for a host that ships no py.typed
        assert package == own | {"tervik/py.typed"} and not entry_points
    else:
        assert HOST_FILES | STUBS <= package and entry_points


@pytest.mark.skipif(SANITIZER_RUN, reason="builds plain wheels; nothing sanitized to check")
def test_extensions_wheel_declares_what_the_package_does(wheels: dict[str, Path]) -> None:
    """The drop-in wheel keeps the version, Python floor and dependencies of the package."""
    [default, extensions] = (wheel_metadata(wheels[kind])[1] for kind in ("default", "extensions"))
    for field in ("Version", "Requires-Python"):
        assert extensions[field] == default[field]
    runtime = [r for r in default.get_all("Requires-Dist") or [] if "extra ==" not in r]
    assert extensions.get_all("Requires-Dist") == runtime


def test_floors_file_pins_exactly_the_declared_floors() -> None:
    """.ci/floors.txt, which CI installs to prove the floors, names every declared floor."""
    from importlib.metadata import requires

    from packaging.requirements import Requirement
    from packaging.version import Version

    tooling = {
        "pytest",
        "pytest-asyncio",
        "mypy",
        "hypothesis",
        "fastapi",
        "ruff",
        "tervik",
        "matplotlib",
        "httptools",
    }
    declared = {}
    for text in requires("tervik") or []:
        requirement = Requirement(text)
        if requirement.name in tooling:
            continue
        [spec] = requirement.specifier  # one floor each, the same on every Python
        assert spec.operator == ">=" and "python_version" not in str(requirement.marker), text
        declared[requirement.name] = Version(spec.version)
    lines = (ROOT / ".ci/floors.txt").read_text().splitlines()
    pinned = {
        Requirement(line).name: Version(next(iter(Requirement(line).specifier)).version)
        for line in lines
        if line.strip() and not line.startswith("#")
    }
    assert pinned == declared
