"""The stubs and py.typed as type checkers see them: mypy --strict, stubtest and stubgen.

``usage_ok.py`` is what a host writes; ``usage_mistakes.py`` marks each line that must fail
with ``# error: [code]``.
"""

from __future__ import annotations

import ast
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tervik.amazon_rufus.services.browser as browser
import tervik.mcp.gatehouse as gatehouse
import tervik.mcp.secure as secure
from tests.conftest import python_env

HERE = Path(__file__).resolve().parent
SRC = HERE.parents[1] / "src"
STUBBED = {
    "tervik.mcp.gatehouse": (gatehouse, SRC / "tervik/mcp/gatehouse.pyi"),
    "tervik.mcp.secure": (secure, SRC / "tervik/mcp/secure.pyi"),
    "tervik.amazon_rufus.services.browser": (
        browser,
        SRC / "tervik/amazon_rufus/services/browser.pyi",
    ),
}
MARK = re.compile(r"#\s*error:\s*\[([a-z-]+)\]")
# mypy's compiled wheels cannot run stubgen with -m.
STUBGEN = "import sys; from mypy.stubgen import main; main(sys.argv[1:])"
REPORTED = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


def mypy_strict(path: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), str(path)]
    return subprocess.run(command, capture_output=True, text=True, cwd=path.parent)


def test_usage_passes_mypy_strict(mypy_cache: Path) -> None:
    run = mypy_strict(HERE / "usage_ok.py", mypy_cache)
    assert run.returncode == 0, run.stdout + run.stderr


def test_each_mistake_is_reported_on_its_line(mypy_cache: Path) -> None:
    path = HERE / "usage_mistakes.py"
    expected = {
        (number, match.group(1))
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if (match := MARK.search(line))
    }
    run = mypy_strict(path, mypy_cache)
    reported = {
        (int(match.group(1)), match.group(2))
        for line in run.stdout.splitlines()
        if (match := REPORTED.match(line))
    }
    assert run.returncode == 1
    assert reported == expected, run.stdout


def test_stubtest_finds_the_stubs_and_the_modules_consistent() -> None:
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *STUBBED],
        capture_output=True,
        text=True,
        env=python_env(),  # it imports the extensions
    )
    assert run.returncode == 0, run.stdout + run.stderr


def stub_functions(source: str) -> dict[str, ast.arguments]:
    """``Class.method`` -> its parameters, for every method of a stub."""
    found = {}
    for node in ast.parse(source).body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    found[f"{node.name}.{item.name}"] = item.args
    return found


def parameter_shape(args: ast.arguments) -> list[tuple[str, str, object]]:
    """(name, kind, default) per parameter; ``...`` stands for a default not spelt out."""

    def default(node: ast.expr | None) -> object:
        return inspect.Parameter.empty if node is None else ast.literal_eval(node)

    shape = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for arg, value in zip(positional, defaults, strict=True):
        shape.append((arg.arg, "POSITIONAL_OR_KEYWORD", default(value)))
    for arg, value in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        shape.append((arg.arg, "KEYWORD_ONLY", default(value)))
    return shape


@pytest.mark.parametrize("module_name", STUBBED)
def test_text_signatures_agree_with_the_stubs(module_name: str) -> None:
    module, stub = STUBBED[module_name]
    functions = stub_functions(stub.read_text())
    assert functions
    for qualname, args in functions.items():
        class_name, name = qualname.split(".")
        function = vars(getattr(module, class_name))[name]
        text = function.__text_signature__
        parsed = inspect._signature_fromstr(inspect.Signature, function, text)  # type: ignore[attr-defined]
        runtime = [(p.name, p.kind.name, p.default) for p in parsed.parameters.values()]
        assert runtime == parameter_shape(args), qualname


@pytest.mark.parametrize("module_name", STUBBED)
def test_stubgen_agrees_with_the_stubs_where_it_can(module_name: str, tmp_path: Path) -> None:
    """stubgen reads a compiled module's signatures from docstrings only, so for these
    modules it finds the classes, methods and constants but no parameters; what it finds
    must all be in the stubs, and any signature it does give must match."""
    subprocess.run(
        [sys.executable, "-c", STUBGEN, "--include-private", "-m", module_name,
         "-o", str(tmp_path)],
        check=True, capture_output=True, env=python_env(),
    )  # fmt: skip
    generated = tmp_path.joinpath(*module_name.split(".")).with_suffix(".pyi").read_text()
    ours = STUBBED[module_name][1].read_text()
    generated_functions, our_functions = stub_functions(generated), stub_functions(ours)
    assert set(generated_functions) == set(our_functions)
    for qualname, args in generated_functions.items():
        if args.vararg is None and args.kwarg is None:
            assert parameter_shape(args) == parameter_shape(our_functions[qualname]), qualname
    for name in re.findall(r"^    (\w+): ClassVar", generated, re.MULTILINE):
        assert re.search(rf"^    {name}: ClassVar", ours, re.MULTILINE), name
