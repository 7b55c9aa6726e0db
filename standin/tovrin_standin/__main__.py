"""Lets `python -m tovrin_standin` run the stand-in command line."""

from tovrin_standin.cli import main

raise SystemExit(main())
