"""A small stand-in for the product, built as a wheel to install beside the hook's: the wheel
test and the benchmark install it into fresh environments."""

import base64
import hashlib
import zipfile
from pathlib import Path

# Its package and command hold the names the real one uses. Its CLI notes each report-usage
# call, with its process id, in the home folder and otherwise prints its banner. Its package's
# init notes each process it runs in; a strict one, like a product half-way through an upgrade,
# then raises outside the product's own CLI.
INIT = ("import os, sys\nfrom pathlib import Path\n\n"
        "with open(Path.home() / 'product-init.log', 'a') as log:\n"
        "    log.write(f'{os.getpid()}\\n')\n"
        "BANNER = 'tovrin, the product'\n")
STRICT_INIT = INIT + ("if os.path.basename(sys.argv[0]) != 'tovrin':\n"
                      "    raise ImportError('tovrin runs only as its own command')\n")
PRODUCT_FILES = {
    "tovrin/__init__.py": INIT,
    "tovrin/__main__.py": "from tovrin.cli import main\n\nraise SystemExit(main())\n",
    "tovrin/cli.py": (
        "import os, sys\nfrom pathlib import Path\n\nimport tovrin\n\n\ndef main():\n"
        "    if sys.argv[1:3] == ['skills', 'report-usage']:\n"
        "        with open(Path.home() / 'product-calls.log', 'a') as log:\n"
        "            log.write(f'{sys.argv[3]} {os.getpid()}\\n')\n"
        "    else:\n"
        "        print(tovrin.BANNER)\n"
        "    return 0\n"
    ),
}
PRODUCT_DIST = "tovrin_product-1.0.dist-info"


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def product_wheel(folder: Path, product_files: dict[str, str]) -> Path:
    files = {name: text.encode() for name, text in product_files.items()} | {
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
