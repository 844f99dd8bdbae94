"""SipHash-1-3 of the state engine against a reference written here from the
algorithm's description, through the native driver (tests/native/nonce_cache_check.cpp)
that CMake builds with the core library. The driver's other modes (string tables,
clock arithmetic, the engine on a moved clock) run under ctest."""

import json
import os
import random
import subprocess
import sys

import native
import pytest

MASK = (1 << 64) - 1


def siphash13(k0: int, k1: int, data: bytes) -> int:
    """SipHash-1-3 written from the algorithm's description, as the reference."""

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & MASK

    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D,
         k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & MASK; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    whole = len(data) - len(data) % 8
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, whole, 8)]
    words.append(int.from_bytes(data[whole:], "little") | ((len(data) & 0xFF) << 56))
    for m in words:
        v[3] ^= m
        sip_round()
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def sample_inputs() -> list[bytes]:
    rng = random.Random(1234)
    inputs = [bytes(range(n)) for n in range(1, 65)]  # every tail length, several blocks
    inputs += [rng.randbytes(rng.randrange(1, 300)) for _ in range(40)]
    inputs += [b"\0", b"\0" * 8, b"\xff" * 9, b"a" * 255, b"a" * 256, b"a" * 257]
    return inputs


def test_reference_matches_the_interpreters_bytes_hash():
    # CPython hashes bytes with SipHash-1-3; PYTHONHASHSEED=0 makes its key all zeros.
    inputs = sample_inputs()
    code = ("import sys, json; i = sys.hash_info; hashes = [hash(bytes.fromhex(x)) for x in "
            "sys.argv[1:]]; print(json.dumps([i.algorithm, i.cutoff, hashes]))")
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run([sys.executable, "-c", code, *(x.hex() for x in inputs)],
                          env=env, capture_output=True, text=True, check=True)
    algorithm, cutoff, hashes = json.loads(done.stdout)
    if algorithm != "siphash13" or cutoff != 0:
        pytest.skip(f"this interpreter hashes bytes with {algorithm}, cutoff {cutoff}")
    for data, got in zip(inputs, hashes):
        expected = siphash13(0, 0, data)
        # The interpreter reserves -1 for errors and reports it as -2.
        expected_signed = expected - (1 << 64) if expected >= 1 << 63 else expected
        assert got == (-2 if expected_signed == -1 else expected_signed), data.hex()


@pytest.fixture(scope="module")
def driver():
    return native.program("nonce_cache_check")


def run_driver(driver, *args, stdin=""):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    env.pop("LD_PRELOAD", None)
    done = subprocess.run([str(driver), *args], input=stdin, capture_output=True, text=True,
                          env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_native_siphash_matches_reference(driver):
    rng = random.Random(99)
    keys = [(0, 0), (MASK, MASK), (0x0706050403020100, 0x0F0E0D0C0B0A0908)]
    keys += [(rng.getrandbits(64), rng.getrandbits(64)) for _ in range(5)]
    cases = [(k0, k1, data) for k0, k1 in keys for data in [b""] + sample_inputs()[::3]]
    stdin = "".join(f"{k0:x} {k1:x} {data.hex() or '-'}\n" for k0, k1, data in cases)
    got = [int(line, 16) for line in run_driver(driver, "siphash", stdin=stdin).split()]
    assert got == [siphash13(k0, k1, data) for k0, k1, data in cases]
