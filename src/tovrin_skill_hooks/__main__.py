"""Lets `python -m tovrin_skill_hooks` run the command."""

from tovrin_skill_hooks.cli import main

raise SystemExit(main())
