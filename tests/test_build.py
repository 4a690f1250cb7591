"""The installed extension modules: exports, links, names and import failures."""

import importlib
import importlib.util
import os
import subprocess
import sys

import pytest

MODULES = ["tileport", "plots", "plansmith"]
HOST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host")


def library_path(name):
    spec = importlib.util.find_spec("terrava." + name)
    assert spec is not None and spec.origin, f"terrava.{name} is not installed"
    return spec.origin


@pytest.mark.parametrize("name", MODULES)
def test_library_exports_only_its_entry_point_and_needs_no_libpython(name):
    path = library_path(name)
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout.split()
    defined = [s for s in symbols if s.startswith("PyInit_") or not s[:1].isdigit()]
    assert [s for s in defined if len(s) > 1] == ["PyInit_" + name]
    dynamic = subprocess.run(
        ["readelf", "-d", path], capture_output=True, text=True, check=True
    ).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed and not any("libpython" in line for line in needed)


def run_python(code, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=120
    )


def test_modules_import_beside_the_host_with_qualified_names():
    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "import terrava.tileport, terrava.plots, terrava.plansmith\n"
        "print(terrava.tileport.__name__, terrava.plots.__name__, terrava.plansmith.__name__)\n"
        "print(terrava.tileport.logger.name)\n" % HOST
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert lines[-2] == "terrava.tileport terrava.plots terrava.plansmith"
    assert lines[-1] == "terrava.tileport"


def test_name_stays_qualified_when_loaded_from_another_path():
    code = (
        "import sys, importlib.util; sys.path.insert(0, %r)\n"
        "spec = importlib.util.spec_from_file_location('helpers_copy.plots', %r)\n"
        "m = importlib.util.module_from_spec(spec); spec.loader.exec_module(m)\n"
        "print(m.__name__)\n" % (HOST, library_path("plots"))
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == "terrava.plots"


@pytest.mark.parametrize("name", MODULES)
def test_missing_host_module_fails_the_import_naming_it(name):
    # Without host/ on the path the registry's modules cannot be found.
    result = run_python(f"import terrava.{name}", env={"PYTHONPATH": ""})
    assert result.returncode != 0
    assert "ModuleNotFoundError: No module named '" in result.stderr
    assert any(host in result.stderr for host in ("'database'", "'helpers'", "'logger'", "'repository'"))
    assert "Segmentation fault" not in result.stderr


def test_non_integer_redis_port_fails_with_the_conversion_error():
    code = "import sys; sys.path.insert(0, %r)\nimport terrava.tileport\n" % HOST
    result = run_python(code, env={"REDIS_PORT": "six"})
    assert result.returncode != 0
    assert "ValueError: invalid literal for int() with base 10: 'six'" in result.stderr


def test_plan_service_finds_the_templates_beside_the_host_or_where_told():
    code = (
        "import os, sys; sys.path.insert(0, %r)\n"
        "import services.plansmith as p, helpers.plots\n"
        "print(p.project_root)\n"
        "print(p.generate_plot is helpers.plots.generate_plot)\n"
        "print(os.path.isfile(os.path.join(p.project_root, 'templates/deedplan.html')))\n" % HOST
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-3:] == [os.path.realpath(HOST), "True", "True"]

    # The wheel install sits in site-packages, away from the templates.
    code = "import sys; sys.path.insert(0, %r)\nimport terrava.plansmith as p\nprint(p.project_root)\n"
    result = run_python(code % HOST, env={"TERRAVA_PROJECT_ROOT": HOST})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == HOST
