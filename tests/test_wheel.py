"""The hook's wheel installed beside the product, as a user installs it: it adds the hook and
takes nothing of the product's, so the product works before, with and after it, and the hook
reports through the product's own `tovrin`.

Runs on the wheel that TOVRIN_WHEEL names (`make test` and `make wheel` set it)."""

import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from fake_product import PRODUCT_FILES, STRICT_INIT, product_wheel

WHEEL = os.environ.get("TOVRIN_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="TOVRIN_WHEEL names no wheel (make test sets it)")

MODULE = "tovrin.skills.hooks.report_skill_usage"

# What the Python launcher script makes of the module, and what an ordinary import makes of it.
DESCRIBE = f"""import json, sys
def describe():
    m = sys.modules[{MODULE!r}]
    s = m.__spec__
    print(json.dumps([m.__name__, m.__package__, s.name, s.origin, s.parent, s.has_location,
                      s.submodule_search_locations, type(m.__loader__).__qualname__, m.__loader__.name,
                      m.__loader__.path, m.__loader__ is s.loader, m.__file__, hasattr(m, '__path__'),
                      sorted(name for name in sys.modules if name.partition('.')[0] == 'tovrin')]))
"""


def test_wheel_carries_nothing_of_the_products():
    names = [n for n in zipfile.ZipFile(WHEEL).namelist() if not n.endswith("/")]  # files, not folders
    claimed = [n for n in names
               if n in PRODUCT_FILES or (n.startswith("tovrin/") and n.endswith("__init__.py"))
               or Path(n).name in ("tovrin", "tovrin.exe")]
    assert claimed == []
    assert any(n.startswith("tovrin/skills/hooks/report_skill_usage.") for n in names)
    entry_points = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
    for name in entry_points:
        assert "tovrin =" not in zipfile.ZipFile(WHEEL).read(name).decode()


# The product as installed from its wheel; the same with a package init that fails outside its
# CLI, and a regular tovrin/skills/ package; and in development mode, a .pth pointing at its
# src/, where tovrin/ and tovrin/skills/ are regular packages that hide the hook's folder in
# site-packages from an ordinary import.
PRODUCTS = {
    "installed": (PRODUCT_FILES, False),
    "strict init": (PRODUCT_FILES | {"tovrin/__init__.py": STRICT_INIT, "tovrin/skills/__init__.py": ""},
                    False),
    "development mode": (PRODUCT_FILES | {"tovrin/skills/__init__.py": ""}, True),
}


@pytest.mark.parametrize("product", PRODUCTS)
def test_wheel_beside_the_product(tmp_path, product):
    product_files, development = PRODUCTS[product]
    strict = product_files["tovrin/__init__.py"] == STRICT_INIT
    # A folder name with a space, as under "Application Support" or a Windows user name: pip
    # writes it bare into the "#!" line that the launcher reads.
    env_dir = tmp_path / "product env"
    bin_dir = env_dir / "bin"
    python = bin_dir / "python"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True, timeout=120)

    def pip(*args):
        subprocess.run([sys.executable, "-m", "pip", "--python", str(python), *args, "--quiet",
                        "--disable-pip-version-check"], check=True, timeout=120)

    home = tmp_path / "home"
    home.mkdir()
    # Nothing but the new environment may supply the packages.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"HOME": str(home)}

    def run(*command, stdin=b""):
        return subprocess.run([str(c) for c in command], input=stdin, env=env, cwd=tmp_path,
                              capture_output=True, timeout=60)

    def product_works():
        ways = [[bin_dir / "tovrin"]]  # a strict init lets nothing but its CLI import it
        if not strict:
            ways += [[python, "-c", "import tovrin, tovrin.cli; print(tovrin.BANNER)"], [python, "-m", "tovrin"]]
        return all(run(*way).stdout.decode().strip() == "tovrin, the product" for way in ways)

    if development:
        source = tmp_path / "product src"
        for name, text in product_files.items():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            (source / name).write_text(text)
        product_files = {"tovrin_product.pth": f"{source}\n"}
    pip("install", "--no-index", "--no-deps", str(product_wheel(tmp_path, product_files)))
    assert product_works()

    pip("install", "--no-index", "--no-deps", WHEEL)
    assert product_works()

    event = json.dumps({"tool_name": "Skill", "tool_input": {"command": "tov-auth"}}).encode()
    # The registered command is the native launcher, built for the wheel's glibc like the module.
    assert (bin_dir / "tovrin-report-skill-usage").read_bytes()[:4] == b"\x7fELF"
    (home / "product-init.log").unlink()
    hook = run(bin_dir / "tovrin-report-skill-usage", stdin=event)
    assert (hook.returncode, hook.stdout, hook.stderr) == (0, b"", b"")
    # The product's package init ran in its CLI's process, and in no other.
    cli_pid = (home / "product-calls.log").read_text().removeprefix("tov-auth ")
    assert (home / "product-init.log").read_text() == cli_pid

    # The Python launcher script loads the module as an ordinary import would, but alone.
    script = bin_dir / "tovrin-report-skill-usage-python"
    run_script = (f"import atexit\natexit.register(describe)\nsys.argv[0] = {str(script)!r}\n"
                  "exec(compile(open(sys.argv[0]).read(), sys.argv[0], 'exec'))")
    launched = json.loads(run(python, "-c", DESCRIBE + run_script, stdin=b'{"tool_name": "Read"}').stdout)
    assert launched[-1] == [MODULE] and launched[3].startswith(str(env_dir / "lib"))
    ordinary = run(python, "-c", DESCRIBE + f"import {MODULE}\ndescribe()")
    if strict or development:  # where the product's packages stop an ordinary import
        assert ordinary.returncode == 1
    else:
        parents = ["tovrin", "tovrin.skills", "tovrin.skills.hooks"]
        assert json.loads(ordinary.stdout) == launched[:-1] + [parents + [MODULE]]

    pip("uninstall", "--yes", "tovrin-skill-hooks")
    assert product_works()
    assert not (bin_dir / "tovrin-report-skill-usage").exists()
    assert not (bin_dir / "tovrin-report-skill-usage-python").exists()
