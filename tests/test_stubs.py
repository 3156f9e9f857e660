"""The type stubs describe the modules as they really are."""
import ast
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import Vorlan

PACKAGE = pathlib.Path(Vorlan.__file__).parent
TYPED_USAGE = pathlib.Path(__file__).parent / "typing" / "typed_usage.py"


def stub_api(module_name):
    """{name: {member: [parameter names]}} for classes, {name: [params]} for functions."""
    tree = ast.parse((PACKAGE / f"{module_name}.pyi").read_text())
    api = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = [a.arg for a in item.args.args[1:] + item.args.kwonlyargs]
            api[node.name] = members
        elif isinstance(node, ast.FunctionDef):
            api[node.name] = [a.arg for a in node.args.args]
    return api


@pytest.mark.parametrize("module_name", ["ciphex", "sorb"])
def test_stub_names_match_the_module(module_name):
    module = importlib.import_module(f"Vorlan.{module_name}")
    api = stub_api(module_name)
    runtime = {name for name in vars(module)
               if not name.startswith("_") and (callable(getattr(module, name)))}
    runtime.discard("json")   # sorb's handle on the json module, not API
    assert set(api) == runtime
    for name, members in api.items():
        if not isinstance(members, dict):
            continue
        cls = getattr(module, name)
        public = {m for m in vars(cls) if not m.startswith("_")}
        stubbed = {m for m in members if not m.startswith("_")}
        assert stubbed == public, name


def keyword_refused(call):
    try:
        call()
    except TypeError as error:
        return "unexpected keyword argument" in str(error)
    except Exception:
        pass
    return False


@pytest.mark.parametrize("module_name", ["ciphex", "sorb"])
def test_stub_parameter_names_are_accepted_as_keywords(module_name):
    # Builtin methods carry no signatures, so each stub parameter name is
    # tried as a keyword: the call may fail for other reasons, but never
    # because the name is unknown.
    module = importlib.import_module(f"Vorlan.{module_name}")
    instances = {
        "AesIge256": lambda: module.AesIge256(bytes(32)),
        "AesCbc256": lambda: module.AesCbc256(bytes(32)),
        "AesCtr256": lambda: module.AesCtr256(bytes(32), bytes(16)),
        "SorbSchemaCompiler": lambda: module.SorbSchemaCompiler(),
        "SorbParser": lambda: module.SorbParser("{}"),
    }
    for name, members in stub_api(module_name).items():
        if not isinstance(members, dict):
            continue
        cls = getattr(module, name)
        for member, params in members.items():
            if member in ("__init__", "__new__"):
                if name == "SorbSchemaCompiler":
                    continue   # ignores whatever it is given
                target = cls
            elif isinstance(getattr(cls, member), property):
                continue
            else:
                target = getattr(instances[name](), member)
            for param in params:
                assert not keyword_refused(lambda: target(**{param: None})), (name, member, param)


def test_typed_example_passes_a_strict_type_check(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), str(TYPED_USAGE)],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs():
    subprocess.run([sys.executable, str(TYPED_USAGE)], check=True)


@pytest.mark.parametrize("module_name", ["ciphex", "sorb"])
def test_stubtest_finds_the_stubs_and_the_runtime_alike(module_name, tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", f"Vorlan.{module_name}",
         "--mypy-config-file", "/dev/null"],
        capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module_name", ["ciphex", "sorb"])
def test_every_class_method_and_function_has_a_signature(module_name):
    module = importlib.import_module(f"Vorlan.{module_name}")
    for name, members in stub_api(module_name).items():
        inspect.signature(getattr(module, name))
        for member in members if isinstance(members, dict) else ():
            attribute = getattr(getattr(module, name), member)
            if member not in ("__init__", "__new__") and callable(attribute):
                inspect.signature(attribute)
