"""The real agent hosts, run offline against a scripted model on 127.0.0.1.

`claude_code` (Anthropic Messages API) and `codex` (OpenAI Responses API) each start their own
scripted model server, run the host once in a given home folder with stdin on /dev/null and
under a timeout, and return what happened (`harness.Run`). The model makes the scripted tool
calls (`harness.Call`), one per turn, and answers "done" at once after the last one.

    home = harness.new_home(tmp_path)
    codex.register_from_readme(home)           # or install the registration by other means
    codex.approve(home)                        # the record /hooks writes
    result = codex.run(home, [Call("Bash", {"command": "tovrin skills usage"})])
    assert harness.recorded_uses(home) == {"tov-skills": 1}

The host binaries come from `.venv-hosts/` (`make test-hosts` installs them); without it the
tests here are skipped, unless TOVRIN_HOSTS_REQUIRED is set, which makes that a failure.
"""
