"""Loaded by every Python process of the Windows test interpreter (make test-windows puts it in
its site-packages). Under wine a new process at times dies in its own set-up, and its start
fails with ERROR_INTERNAL_ERROR; Windows does not do that. Such a start is tried again, so that
the suite tests the hook rather than wine, and each retry is written down in the file that
TOVRIN_WINE_RETRIES names, for make test-windows to count."""

import os

import _winapi

ERROR_INTERNAL_ERROR = 1359
_create_process = _winapi.CreateProcess


def _create_process_again(*args):
    for attempt in range(1, 6):
        try:
            return _create_process(*args)
        except OSError as error:
            if error.winerror != ERROR_INTERNAL_ERROR or attempt == 5:
                raise
            if log := os.environ.get("TOVRIN_WINE_RETRIES"):
                with open(log, "a") as file:
                    file.write(f"{args[1]}\n")


_winapi.CreateProcess = _create_process_again
