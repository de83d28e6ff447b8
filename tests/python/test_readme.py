"""Every Python block of the README runs, in order, in one namespace, as a reader would
paste them. A comment line right after a statement states what it gives:

    x = f()        # a Python literal on the next line: x equals it
    # [1, 2]
    print(y)       # after a print: the printed text, after "# "
    # 3 bytes
"""
import ast
import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [m.group(1) for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


def expectation(lines, statement):
    """The comment line right after `statement`, without its '# ', or None."""
    following = statement.end_lineno  # 1-based: the index of the next line
    if following < len(lines):
        line = lines[following].strip()
        if line.startswith("# "):
            return line[2:]
    return None


def run_block(source, namespace):
    lines = source.splitlines()
    for statement in ast.parse(source).body:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            if isinstance(statement, ast.Expr):
                value = eval(compile(ast.Expression(statement.value), str(README), "eval"), namespace)
            else:
                exec(compile(ast.Module([statement], []), str(README), "exec"), namespace)
        expected = expectation(lines, statement)
        if expected is None:
            continue
        where = f"README line: {lines[statement.lineno - 1].strip()}"
        call = statement.value if isinstance(statement, ast.Expr) else None
        if isinstance(call, ast.Call) and getattr(call.func, "id", None) == "print":
            assert printed.getvalue().strip() == expected, where
            continue
        try:
            literal = ast.literal_eval(expected)
        except (ValueError, SyntaxError):
            continue  # a comment in prose, not a stated value
        if isinstance(statement, ast.Assign):
            value = eval(compile(ast.Expression(statement.targets[0]), "<target>", "eval"), namespace)
        elif not isinstance(statement, ast.Expr):
            continue
        assert value == literal, where


def test_readme_has_python_blocks():
    assert len(python_blocks()) >= 2


def test_every_readme_block_runs_and_gives_what_it_shows():
    namespace = {"__name__": "readme"}
    for block in python_blocks():
        run_block(block, namespace)
