"""Runs the examples of the manual as doctests: every ```pycon block of the Markdown files named on the command
line (the blocks of one file share their names, in order, as a reader's session would) and the examples in the
module's docstrings. Exits 1, printing each difference, when any shown output is not what the code gives, and
when a block of another kind holds a >>> prompt (it would otherwise silently test nothing)."""

import doctest
import re
import sys
import types
from pathlib import Path

import sylvanmap

FENCE = re.compile(r"^```(\S*)\n(.*?)^```$", re.M | re.S)
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def docstring_tests():
    parser = doctest.DocTestParser()
    owners = [("sylvanmap", sylvanmap), ("SortedDict", sylvanmap.SortedDict)]
    for owner_name, owner in owners:
        for name, member in sorted(vars(owner).items()):
            doc = getattr(member, "__doc__", None) if name != "__doc__" else member
            if isinstance(doc, str) and ">>>" in doc:
                yield parser.get_doctest(doc, {"SortedDict": sylvanmap.SortedDict}, f"{owner_name}.{name}",
                                         "docstring", 0)


def run_file(path, runner, misplaced):
    """One doctest per pycon block, named path:line, each starting from the names the one before left."""
    # The names are a registered module's, so that pickle finds the classes an example defines.
    module = types.ModuleType(f"manual_{path.stem}")
    sys.modules[module.__name__] = module
    text, names = path.read_text(), module.__dict__
    for block in FENCE.finditer(text):
        line = text.count("\n", 0, block.start(2))
        if block[1] == "pycon":
            test = doctest.DocTestParser().get_doctest(block[2], names, f"{path}:{line + 1}", str(path), line)
            test.globs = names  # not the copy the test made
            runner.run(test, clear_globs=False)
        elif re.search(r"^>>> ", block[2], re.M):
            misplaced.append(f"{path}:{line + 1}: a ```{block[1]} block with >>> prompts: make it ```pycon")


def main(paths):
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    misplaced = []
    for path in map(Path, paths):
        run_file(path, runner, misplaced)
    for test in docstring_tests():
        runner.run(test)
    failed, attempted = runner.summarize(verbose=False)
    print(*misplaced, sep="\n")
    print(f"doctest_md: {attempted} examples, {failed} failed, from {len(paths)} files and the docstrings")
    return 1 if failed or misplaced else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
