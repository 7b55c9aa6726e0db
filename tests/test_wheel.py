"""The hook's wheel installed beside the product, as a user installs it: it adds the hook and
takes nothing of the product's, so the product works before, with and after it, and the hook
reports through the product's own `tovrin`.

Runs on the wheel that TOVRIN_WHEEL names (`make test` and `make wheel` set it)."""

import base64
import hashlib
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

WHEEL = os.environ.get("TOVRIN_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="TOVRIN_WHEEL names no wheel (make test sets it)")

# A small stand-in for the product: its package and command hold the names the real one uses.
# Its CLI notes each report-usage call in the home folder and otherwise prints its banner.
PRODUCT_FILES = {
    "tovrin/__init__.py": 'BANNER = "tovrin, the product"\n',
    "tovrin/__main__.py": "from tovrin.cli import main\n\nraise SystemExit(main())\n",
    "tovrin/cli.py": (
        "import sys\nfrom pathlib import Path\n\nimport tovrin\n\n\ndef main():\n"
        "    if sys.argv[1:3] == ['skills', 'report-usage']:\n"
        "        with open(Path.home() / 'product-calls.log', 'a') as log:\n"
        "            log.write(sys.argv[3] + '\\n')\n"
        "    else:\n"
        "        print(tovrin.BANNER)\n"
        "    return 0\n"
    ),
}
PRODUCT_DIST = "tovrin_product-1.0.dist-info"


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def product_wheel(folder: Path) -> Path:
    files = {name: text.encode() for name, text in PRODUCT_FILES.items()} | {
        f"{PRODUCT_DIST}/METADATA": b"Metadata-Version: 2.1\nName: tovrin-product\nVersion: 1.0\n",
        f"{PRODUCT_DIST}/WHEEL": b"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        f"{PRODUCT_DIST}/entry_points.txt": b"[console_scripts]\ntovrin = tovrin.cli:main\n",
    }
    record = [record_line(name, data) for name, data in files.items()] + [f"{PRODUCT_DIST}/RECORD,,"]
    path = folder / "tovrin_product-1.0-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
        wheel.writestr(f"{PRODUCT_DIST}/RECORD", "\n".join(record) + "\n")
    return path


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


def test_wheel_beside_the_product(tmp_path):
    env_dir = tmp_path / "env"
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
        banner = run(bin_dir / "tovrin")
        package = run(python, "-c", "import tovrin, tovrin.cli; print(tovrin.BANNER)")
        as_module = run(python, "-m", "tovrin")
        return [r.stdout.decode().strip() for r in (banner, package, as_module)] == ["tovrin, the product"] * 3

    pip("install", "--no-index", "--no-deps", str(product_wheel(tmp_path)))
    assert product_works()

    pip("install", "--no-index", "--no-deps", WHEEL)
    assert product_works()
    # Inside the product's regular package, the module's folder is a namespace package.
    attributes = run(python, "-c", "import json, tovrin.skills.hooks.report_skill_usage as m; "
                     "print(json.dumps([m.__package__, m.__file__ == m.__spec__.origin, "
                     "m.__loader__ is m.__spec__.loader, hasattr(m, '__path__')]))")
    assert json.loads(attributes.stdout) == ["tovrin.skills.hooks", True, True, False]

    event = json.dumps({"tool_name": "Skill", "tool_input": {"command": "tov-auth"}}).encode()
    hook = run(bin_dir / "tovrin-report-skill-usage", stdin=event)
    assert (hook.returncode, hook.stdout, hook.stderr) == (0, b"", b"")
    assert (home / "product-calls.log").read_text() == "tov-auth\n"

    pip("uninstall", "--yes", "tovrin-skill-hooks")
    assert product_works()
    assert not (bin_dir / "tovrin-report-skill-usage").exists()
