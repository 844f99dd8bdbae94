"""libFuzzer driver: python fuzz/run.py TARGET [libFuzzer arguments...]

Run it through fuzz/run.sh, which builds the instrumented extension and preloads
the sanitizer runtime that carries libFuzzer. The harness itself is
instrumented for Python coverage; the extension carries its own native coverage
counters.
"""

import os
import pathlib
import shlex
import sys
import warnings

import atheris

# velkora._signals of the instrumented build sits in its velkora/ folder, which is not a
# package of its own: put it ahead of the velkora package's own folder (fuzz/run.sh puts
# the source tree's python/ on the path, so no installed copy is needed).
BUILD = os.environ.get("VELKORA_FUZZ_BUILD")
if BUILD:
    import velkora

    velkora.__path__.insert(0, os.path.join(BUILD, "velkora"))

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
with atheris.instrument_imports(include=["targets"]):
    import targets

if BUILD:
    for module in (targets.core, targets.signals):
        if not os.path.realpath(module.__file__).startswith(os.path.realpath(BUILD) + os.sep):
            sys.exit(f"{module.__name__} was imported from {module.__file__}, not from {BUILD}")

# A __float__ returning a float subclass warns; the warning is part of the
# conversion's behaviour, not a finding, and printing it every run is noise.
warnings.simplefilter("ignore", DeprecationWarning)


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in targets.TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(targets.TARGETS)}}} [libFuzzer args]")
    target = targets.TARGETS[sys.argv[1]]
    # libFuzzer's merge and fork modes start themselves again through the shell
    # with argv[0] as the command: make that this interpreter, script and target.
    command = " ".join(shlex.quote(a) for a in (sys.executable, __file__, sys.argv[1]))
    atheris.Setup([command] + sys.argv[2:], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
