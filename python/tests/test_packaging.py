"""What the installed package carries besides the functions: the program behind
`python -m fwprune`, and the type stubs of the compiled module."""

import ast
import subprocess
import sys
from pathlib import Path

import fwprune
from fwprune import _core


def run_module(*arguments, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "fwprune", *arguments], input=stdin, capture_output=True
    )


class TestMainModule:
    def test_runs_the_program_with_its_command_line(self, tmp_path):
        # Standard input to standard output, as the program's own '-' arguments read.
        done = run_module("reduce", "-", "-", stdin=b"0 edge 1\n1 edge 2\n0 edge 2\n")
        assert (done.returncode, done.stdout, done.stderr) == (0, b"0 edge 1\n1 edge 2\n", b"")

        version = run_module("--version")
        assert version.returncode == 0 and fwprune.__version__ in version.stdout.decode()

        # The program's exit statuses: 2 for usage, 3 for a file it cannot read.
        assert run_module("reduce", "only-one-path").returncode == 2
        missing = run_module("reduce", str(tmp_path / "missing.txt"), str(tmp_path / "out.txt"))
        assert missing.returncode == 3 and b"missing.txt" in missing.stderr
        assert not (tmp_path / "out.txt").exists()


class TestTypes:
    def test_package_ships_a_stub_of_everything_the_module_has(self):
        stub = Path(fwprune.__file__).with_name("_core.pyi")
        assert Path(fwprune.__file__).with_name("py.typed").is_file()
        declared = set()
        for node in ast.parse(stub.read_text()).body:
            if isinstance(node, ast.FunctionDef):
                declared.add(node.name)
            elif isinstance(node, ast.AnnAssign):
                declared.add(node.target.id)
        public = {name for name in dir(_core) if not name.startswith("_")}
        assert declared == public
