"""Lets `python -m tovrin` run the command line."""

from tovrin.cli import main

raise SystemExit(main())
