"""Import-time promises of the package: what loads, what is bound, what is never imported."""

import importlib.resources
import json
import subprocess
import sys
import textwrap

import pytest

MODULES = ["modelsmith", "tokenledger", "nearfind", "emitcore", "faultnote", "tuplefold", "emitselect"]
HEAVY = ["openai", "google.generativeai", "ollama", "tiktoken", "sentence_transformers", "torch", "numpy"]


def run_fresh(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd="/")
    return out


def test_loading_all_modules_imports_no_vendor_or_heavy_library():
    out = run_fresh(
        f"""
        import json, sys
        for name in {MODULES!r}:
            __import__("vormo." + name)
        print(json.dumps([m for m in {HEAVY!r} if m in sys.modules]))
        """
    )
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == []


@pytest.mark.parametrize("name", MODULES)
def test_each_module_is_a_compiled_extension(name):
    mod = importlib.import_module("vormo." + name)
    assert mod.__file__.endswith(".so") or mod.__file__.endswith(".pyd")
    assert mod.__name__ == "vormo." + name


def test_modelsmith_import_time_names():
    from vormo import modelsmith, nearfind, tokenledger, vormo_kernel, faultnote

    assert modelsmith._extract_gemini_usage is tokenledger._extract_gemini_usage
    assert modelsmith._extract_openai_usage is tokenledger._extract_openai_usage
    assert modelsmith._estimate_costs is tokenledger.estimate_costs
    assert modelsmith.VormoCompiler is vormo_kernel.VormoCompiler
    assert modelsmith.SemanticError is vormo_kernel.SemanticError is faultnote.SemanticError
    assert modelsmith.rag_rank is nearfind.rank_problem_descriptions


def test_modelsmith_settings_in_order():
    from vormo import modelsmith

    settings = {
        "MAX_ITERATIONS": 5,
        "MAX_OUTPUT_TOKENS": None,
        "LLM_PROVIDER": "openai",
        "MODEL_NAME": "gpt-5",
        "ALIGNMENT_CHECK": True,
        "FEW_SHOT_TOP_K": 3,
        "FEW_SHOT_MAX_CHARS": 2147483647,
    }
    assert {k: getattr(modelsmith, k) for k in settings} == settings
    names = [n for n in vars(modelsmith) if n in settings]
    assert names == list(settings)


# A missing piece makes the importing module fail with the host's import error.
@pytest.mark.parametrize(
    "importer, broken, name",
    [
        ("emitselect", "emitsparse", "SciPyCSCCodeGenerator"),
        ("emitselect", "emitcore", "SciPyCodeGeneratorBase"),
        ("emitselect", "faultnote", "SemanticError"),
        ("emitcore", "faultnote", "SemanticError"),
        ("modelsmith", "vormo_kernel", "VormoCompiler"),
        ("modelsmith", "vormo_kernel", "SemanticError"),
        ("modelsmith", "nearfind", "rank_problem_descriptions"),
        ("modelsmith", "tokenledger", "estimate_costs"),
        ("modelsmith", "tokenledger", "_extract_openai_usage"),
    ],
)
def test_missing_name_fails_the_load(importer, broken, name):
    out = run_fresh(
        f"""
        import importlib, sys, types
        real = importlib.import_module("vormo.{broken}")
        fake = types.ModuleType("vormo.{broken}")
        fake.__dict__.update({{k: v for k, v in vars(real).items() if k != "{name}" and not k.startswith("__")}})
        fake.__file__ = "fake.py"
        sys.modules["vormo.{broken}"] = fake
        try:
            importlib.import_module("vormo.{importer}")
        except ImportError as e:
            print(type(e).__name__, e.name, str(e))
        else:
            print("loaded")
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"ImportError vormo.{broken} cannot import name '{name}' from 'vormo.{broken}' (fake.py)"


def test_missing_module_fails_the_load():
    out = run_fresh(
        """
        import sys
        sys.modules["vormo.emitsparse"] = None
        try:
            import vormo.emitselect
        except ImportError as e:
            print(type(e).__name__)
        """
    )
    assert out.stdout.strip() == "ModuleNotFoundError"


def test_package_data_is_installed_and_sources_are_not():
    root = importlib.resources.files("vormo")
    assert (root / "grammars" / "Vormo grammar.md").is_file()
    assert (root / "grammars" / "Vormo_GBNF").is_file()
    assert (root / "vormo_models" / "knapsack" / "knapsack.txt").is_file()
    assert (root / "vormo_kernel.py").is_file() and (root / "emitsparse.py").is_file()
    assert (root / "py.typed").is_file()
    for name in MODULES:
        assert (root / f"{name}.pyi").is_file()
    shipped = [p.name for p in root.iterdir()] + [p.name for d in root.iterdir() if d.is_dir() for p in d.iterdir()]
    assert not [n for n in shipped if n.endswith((".cpp", ".hpp", ".h")) or n == "CMakeLists.txt"]


def test_kernel_reexports_the_shared_error():
    from vormo import faultnote, vormo_kernel

    assert vormo_kernel.SemanticError is faultnote.SemanticError
