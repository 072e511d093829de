"""The installed distribution: where the extensions land and what importing a package loads."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from tervik.amazon_rufus.domain.models import SeedRequestRecord

ROOT = Path(__file__).resolve().parents[1]
EXTENSIONS = {
    "tervik.mcp.gatehouse": "src/tervik/mcp/gatehouse.cpp",
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
