"""The wheel that tools/test_wheel.sh installed (VELKORA_WHEEL) as auditwheel sees it: built
for glibc 2.17, so pip takes it on manylinux2014 systems, with the C++ runtime inside and the
system's unwinder, libgcc_s.so.1, outside."""

import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

WHEEL = os.environ.get("VELKORA_WHEEL")
# make test does not collect this folder; tools/test_wheel.sh runs it with VELKORA_WHEEL set.
pytestmark = pytest.mark.skipif(not WHEEL, reason="runs on a built wheel, under make test-wheel")


def test_wheel_is_manylinux2014_with_no_cxx_runtime_dependency():
    assert WHEEL is not None
    wheel = pathlib.Path(WHEEL)
    assert wheel.name.startswith("velkora_core_rs-") and "manylinux2014_x86_64" in wheel.name, wheel.name
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                           capture_output=True, text=True, check=True).stdout
    text = " ".join(shown.split())  # auditwheel wraps its lines
    assert 'consistent with the following platform tag: "manylinux_2_17_x86_64"' in text, shown
    # Only glibc's own libraries and libgcc_s.so.1 are needed: libc++ is linked in,
    # libstdc++ not used.
    needed = re.findall(r"(lib[\w+-]+\.so[.\d]*) with versions", text)
    glibc = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
    assert needed and set(needed) <= glibc | {"libgcc_s.so.1"}, shown
    assert "libstdc++" not in text and "libc++" not in text
    versions = [tuple(map(int, v.split("."))) for v in re.findall(r"GLIBC_([\d.]+)", text)]
    assert versions and max(versions) <= (2, 17), shown
    # The unwinder's functions all date from libgcc_s's first version.
    assert "libgcc_s.so.1 with versions {'GCC_3.0'}" in text, shown
    with zipfile.ZipFile(wheel) as archive:
        tags = [line.split(": ", 1)[1] for line in archive.read(next(
            n for n in archive.namelist() if n.endswith(".dist-info/WHEEL"))).decode().splitlines()
            if line.startswith("Tag: ")]
    assert "cp313-cp313-manylinux2014_x86_64" in tags, tags


@pytest.mark.parametrize("name", ["velkora_core_rs", "velkora._signals"])
def test_module_unwinds_with_the_system_libgcc_s(name):
    # glibc's pthread_exit (which ends daemon threads at interpreter exit) unwinds with the
    # libgcc_s.so.1 it loads, through the module's frames: their personality routine must
    # read its contexts with the same unwinder, not with one linked into the module.
    import importlib

    from elftools.elf.elffile import ELFFile

    module = importlib.import_module(name)
    with open(module.__file__, "rb") as file:
        elf = ELFFile(file)
        needed = [tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
                  if tag.entry.d_tag == "DT_NEEDED"]
        imported = {s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                    if s.name.startswith("_Unwind_") and s["st_shndx"] == "SHN_UNDEF"}
    assert "libgcc_s.so.1" in needed, needed
    assert {"_Unwind_RaiseException", "_Unwind_Resume", "_Unwind_GetLanguageSpecificData",
            "_Unwind_GetIP", "_Unwind_SetIP", "_Unwind_SetGR"} <= imported, imported
