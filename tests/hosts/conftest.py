import os

import pytest

from . import claude_code, codex

# `make test-hosts` sets this: there a missing host is a failure, not a reason to skip.
REQUIRED = bool(os.environ.get("TOVRIN_HOSTS_REQUIRED"))


@pytest.fixture(autouse=True)
def hosts_installed(request):
    windows = getattr(request.module, "WINDOWS_HOSTS", False)
    missing = [name for name, binary in (("Claude Code", claude_code.WINDOWS_BINARY if windows else claude_code.BINARY),
                                         ("Codex", codex.WINDOWS_BINARY if windows else codex.BINARY))
               if binary is None]
    if missing:
        message = (f"{' and '.join(missing)} for Windows not unpacked (make test-hosts-windows)" if windows else
                   f"{' and '.join(missing)} not installed in .venv-hosts (make test-hosts installs them)")
        if REQUIRED:
            pytest.fail(message)
        pytest.skip(message)
