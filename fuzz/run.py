"""libFuzzer driver: python fuzz/run.py TARGET [libFuzzer arguments...]

Run it through fuzz/run.sh, which builds the instrumented extension and preloads
the sanitizer runtime that carries libFuzzer. The harness itself is
instrumented for Python coverage; the extension carries its own native coverage
counters.
"""

import pathlib
import shlex
import sys
import warnings

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
with atheris.instrument_imports(include=["targets"]):
    import targets

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
