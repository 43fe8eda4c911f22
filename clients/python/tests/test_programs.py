"""Real programs driven through the blocking API, checked on what pyte rendered."""

import re

import quelt_local_pty as qlp

from conftest import ENV


def test_bash_readline_editing_and_ctrl_c(screen_of, tmp_path):
    (tmp_path / "rc").write_text("PS1='ready> '\n")
    with qlp.spawn("bash", ["--rcfile", str(tmp_path / "rc"), "-i"], env=ENV) as term:
        screen = screen_of(term)
        screen.until(lambda s: "ready>" in s)
        # Type a command with a typo, fix it with the arrow keys and run it.
        term.write("echo hello wrld")
        term.write("\x1b[D" * 3 + "o")
        term.write("\r")
        screen.until(lambda s: "\nhello world\n" in s + "\n")
        # The marker comes from the job itself, which is then in the foreground, where Ctrl-C
        # must end it alone; printed by bash before the fork, a Ctrl-C could reach bash instead.
        term.write("sh -c 'echo sleep$((6*7)); exec sleep 100'\r")
        screen.until(lambda s: "sleep42" in s)
        term.write("\x03")
        screen.until(lambda s: s.count("ready>") >= 3)
        term.write("echo status $?\r")
        screen.until(lambda s: "status 130" in s)
        term.write("exit 7\r")
        assert term.wait(timeout=10) == 7


def test_vim_jump_resize_redraw_quit(screen_of, tmp_path):
    text = tmp_path / "lines.txt"
    text.write_text("".join(f"line {n}\n" for n in range(1, 201)))
    with qlp.spawn("vim", ["-u", "NONE", "-N", str(text)], cols=80, rows=24, env=ENV) as term:
        screen = screen_of(term, 80, 24)
        screen.until(lambda s: s.startswith("line 1\n"))
        term.write("150G")
        screen.until(lambda s: "line 150" in s and "line 1\n" not in s)
        screen.resize(100, 40)
        # Redrawn at the new size: 39 text lines, the status line on row 40.
        rows = screen.until(lambda s: len([r for r in s.split("\n") if r.startswith("line ")]) == 39)
        assert "line 150" in rows
        term.write(":q!\r")
        assert term.wait(timeout=10) == 0


def test_less_page_search_quit(screen_of, tmp_path):
    text = tmp_path / "words.txt"
    text.write_text("".join(f"entry {n:03d}\n" for n in range(1, 301)) + "needle here\n")
    with qlp.spawn("less", [str(text)], env=ENV) as term:
        screen = screen_of(term)
        screen.until(lambda s: s.startswith("entry 001"))
        term.write(" ")
        screen.until(lambda s: re.match(r"entry 02[34]", s) is not None)
        term.write("/needle\r")
        screen.until(lambda s: "needle here" in s)
        term.write("q")
        assert term.wait(timeout=10) == 0
