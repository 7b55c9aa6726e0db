"""`tovrin-skill-hooks`: registers the skill-usage hook with Claude Code and Codex, tells
whether each registration will run, and removes it."""
