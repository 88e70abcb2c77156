"""Importing the storage module, checked in fresh interpreters."""

import json
import subprocess
import sys

import pytest

# Recording stand-in for vantorel.core.lazy; `broken` fails its third call.
STUB = """import json, sys, types
NAME, calls, made, broken = "vantorel.core.simulation_storage", [], [], False
def lazy_import(*args, **kwargs):
    assert all(type(a) is str for a in args)
    calls.append([list(args), kwargs])
    if broken and len(calls) == 3:
        raise LookupError("lazy boom")
    return made.append(object()) or made[-1]
sys.modules["vantorel.core.lazy"] = types.SimpleNamespace(lazy_import=lazy_import)
"""
SETTINGS = ["get_build_dir", "get_pdk_name", "get_simulations_dir"]


def run(code):
    proc = subprocess.run(
        [sys.executable, "-c", STUB + code], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_import_sequence():
    out = run(f"""import builtins, logging
imports, real = [], builtins.__import__
def hook(name, globals=None, locals=None, fromlist=(), level=0):
    if (globals or {{}}).get("__name__") == NAME:
        imports.append([name, list(fromlist or ())])
    return real(name, globals, locals, fromlist, level)
builtins.__import__ = hook
logging.basicConfig(level=logging.DEBUG)  # run() requires an empty stderr
import vantorel.core.simulation_storage as ss
lazy = ["orjson", "__version__", "log"] + {SETTINGS!r}
print(json.dumps(dict(calls=calls, imports=imports,
    bound=[getattr(ss, n) is m for n, m in zip(lazy, made)]
          + [ss.json is json, ss.lazy_import is lazy_import, ss.__test__ == {{}}])))
""")
    assert out["calls"] == [
        [["orjson"], {}],
        [["vantorel", "__version__"], {}],
        [["vantorel.logger", "get_logger"], {}],
    ] + [[["vantorel.settings", name], {}] for name in SETTINGS]
    assert out["imports"] == [
        ["hashlib", []],
        ["json", []],
        ["datetime", ["UTC", "datetime"]],
        ["pathlib", ["Path"]],
        ["typing", ["TYPE_CHECKING", "Any"]],
        [
            "vantorel.models",
            ["SimulationHyperparameters", "SimulationStatus", "StoredSimulationResult"],
        ],
        ["vantorel.core.lazy", ["lazy_import"]],
    ]
    assert out["bound"] == [True] * 9


@pytest.mark.parametrize(
    "breaking, fixing, error, calls_made",
    [
        ("broken = True", "broken = False", "LookupError: lazy boom", 3),
        (
            "sys.modules['vantorel.models'] = None",
            "del sys.modules['vantorel.models']",
            "ModuleNotFoundError: import of vantorel.models halted; None in sys.modules",
            0,
        ),
    ],
    ids=["lazy_import", "models"],
)
def test_failed_import_propagates_and_can_be_retried(breaking, fixing, error, calls_made):
    out = run(
        breaking
        + """
try:
    import vantorel.core.simulation_storage
except BaseException as exc:
    state = [f"{type(exc).__name__}: {exc}", NAME in sys.modules, len(calls)]
"""
        + fixing
        + """
del calls[:]
import vantorel.core.simulation_storage as ss
print(json.dumps(state + [len(calls), sys.modules[NAME] is ss]))"""
    )
    assert out == [error, False, calls_made, 6, True]


EXEC_OTHER_MODULE = """import ctypes, types
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
definition = api.PyModule_GetDef(ctypes.py_object(ss))
try: api.PyModule_ExecDef(types.ModuleType("x"), definition)
except RuntimeError as exc: result = [str(exc)]"""
SUBINTERPRETER = """import _interpreters
interp = _interpreters.create()
exc = _interpreters.run_string(interp, "import " + NAME)
_interpreters.destroy(interp)
result = [exc.type.__name__, exc.msg]"""


@pytest.mark.parametrize(
    "code, expected",
    [
        (
            "del sys.modules[NAME]\nimport importlib, vantorel.core.simulation_storage"
            " as again\nresult = [again is ss, importlib.reload(ss) is ss, "
            "sys.modules[NAME] is ss]",
            [True, True, True],
        ),
        (
            EXEC_OTHER_MODULE,
            [
                "Module 'simulation_storage' has already been "
                "imported. Re-initialisation is not supported."
            ],
        ),
        (
            SUBINTERPRETER,
            [
                "ImportError",
                "Interpreter change detected - this module"
                " can only be loaded into one interpreter per process.",
            ],
        ),
    ],
    ids=["reimport_and_reload", "exec_other_module", "subinterpreter"],
)
def test_module_is_initialised_once_per_process(code, expected):
    out = run(
        "import vantorel.core.simulation_storage as ss\n"
        + code
        + "\nprint(json.dumps(result + [len(calls)]))"
    )
    assert out == [*expected, 6]
