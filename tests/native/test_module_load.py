"""The load rules both extension modules share, checked in fresh interpreters."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from tests.conftest import python_env

pytestmark = pytest.mark.native_only  # the extension's own machinery

MODULES = ["tervik.mcp.gatehouse", "tervik.amazon_rufus.services.browser"]


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=python_env(),
    )


def available(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


modules = pytest.mark.parametrize(
    "name",
    [
        pytest.param(m, marks=pytest.mark.skipif(not available(m), reason="not built"))
        for m in MODULES
    ],
)


@modules
def test_reimport_after_removal_gives_the_same_module_without_rerunning_it(name):
    result = run_python(f"""
        import importlib, sys
        first = importlib.import_module({name!r})
        first.marker = "kept"
        del sys.modules[{name!r}]
        second = importlib.import_module({name!r})
        assert second is first and second.marker == "kept", (second, first)
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


@modules
def test_executing_into_a_second_module_object_is_refused(name):
    short = name.rsplit(".", 1)[1]
    result = run_python(f"""
        import importlib.util
        spec = importlib.util.find_spec({name!r})
        one = importlib.util.module_from_spec(spec)
        two = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(one)
        spec.loader.exec_module(one)  # again on the same object: nothing happens
        try:
            spec.loader.exec_module(two)
        except RuntimeError as e:
            print(e)
    """)
    assert result.stdout.strip() == (
        f"Module '{short}' has already been imported. Re-initialisation is not supported."
    ), result.stderr


@modules
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="3.12+ refuses it earlier for all modules")
def test_a_second_interpreter_is_refused(name):
    result = run_python(f"""
        import {name}
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import {name}")
        except Exception as e:
            print(e)
    """)
    assert "ImportError" in result.stdout, result.stderr
    assert (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process." in result.stdout
    ), result.stderr


@modules
def test_loads_without_the_optional_packages(name):
    result = run_python(f"""
        import sys
        for hidden in ("httpx", "playwright", "playwright.sync_api", "tervik.mcp.context"):
            sys.modules[hidden] = None
        import {name}
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_a_failing_body_leaves_an_init_traceback_entry_and_can_be_retried():
    result = run_python("""
        import sys, traceback
        sys.modules["starlette.types"] = None
        try:
            import tervik.mcp.gatehouse
        except ImportError as e:
            print("".join(traceback.format_exception(type(e), e, e.__traceback__)))
        del sys.modules["starlette.types"]
        import tervik.mcp.gatehouse as g
        print("retried", g.ApiKeyGatehouse.__name__)
    """)
    assert "init tervik.mcp.gatehouse" in result.stdout, result.stderr
    assert "retried ApiKeyGatehouse" in result.stdout, result.stderr


def test_gate_namespace_order():
    import tervik.mcp.gatehouse as g

    names = [n for n in vars(g) if not n.startswith("__")]
    assert names == [
        "logging",
        "urllib",
        "Any",
        "ASGIApp",
        "Receive",
        "Scope",
        "Send",
        "_logger",
        "ApiKeyGatehouse",
        "FixedApiKeyAuthProvider",
    ]
    assert g._logger.name == "tervik.mcp"
    assert g.urllib.parse.parse_qs is not None
    assert sys.modules["tervik.mcp.gatehouse"] is g


@modules
def test_executing_the_definition_into_a_foreign_module_object_is_refused(name):
    short = name.rsplit(".", 1)[1]
    result = run_python(f"""
        import ctypes, importlib, types
        module = importlib.import_module({name!r})
        library = ctypes.PyDLL(module.__file__)
        init = getattr(library, "PyInit_{short}")
        init.restype = ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            exec_def(types.ModuleType({short!r}), init())
        except RuntimeError as e:
            print(e)
    """)
    assert result.stdout.strip() == (
        f"Module '{short}' has already been imported. Re-initialisation is not supported."
    ), result.stderr


EMBEDDING_PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

/* Imports the module in two interpreter lifetimes of one process and prints what it got. */
static void round_trip(const char* site_dir, const char* name) {
    Py_Initialize();
    PyObject* site = PyImport_ImportModule("site");
    PyObject* added = site ? PyObject_CallMethod(site, "addsitedir", "s", site_dir) : NULL;
    Py_XDECREF(added);
    Py_XDECREF(site);
    PyObject* module = PyImport_ImportModule(name);
    if (module == NULL) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* text = value ? PyObject_Str(value) : NULL;
        printf("refused: %s: %s\n", ((PyTypeObject*)type)->tp_name,
               text ? PyUnicode_AsUTF8(text) : "?");
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    } else {
        printf("loaded: %s\n", PyModule_GetName(module));
        Py_DECREF(module);
    }
    fflush(stdout);
    Py_FinalizeEx();
}

int main(int argc, char** argv) {
    round_trip(argv[1], argv[2]);
    round_trip(argv[1], argv[2]);
    printf("exited cleanly\n");
    return 0;
}
"""


@modules
def test_a_second_interpreter_lifetime_in_one_process_is_refused_cleanly(name, tmp_path):
    import shutil
    import site
    import sysconfig

    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    binary = tmp_path / "embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    subprocess.run(
        [
            compiler,
            str(source),
            "-o",
            str(binary),
            f"-I{sysconfig.get_paths()['include']}",
            f"-L{libdir}",
            f"-Wl,-rpath,{libdir}",
            f"-lpython{version}",
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    env = python_env(PYTHONHOME=sys.base_prefix)
    env.pop("PYTHONPATH", None)
    result = subprocess.run(
        [str(binary), site.getsitepackages()[0], name],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    first, second, end = result.stdout.splitlines()
    assert first == f"loaded: {name}"
    assert second == (
        "refused: ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )
    assert end == "exited cleanly"
