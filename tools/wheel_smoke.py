"""A short use of both modules of an installed wheel, as a user's first try
would be (tools/wheels runs it on every interpreter a wheel is installed
for). Fails unless the package imported is the one pip installed.

    python tools/wheel_smoke.py [EXPECTED_BACKEND]
"""
import importlib.metadata
import os
import pathlib
import sys

import Vorlan
from Vorlan import ciphex
from Vorlan.sorb import SorbParser

installed = {pathlib.Path(importlib.metadata.distribution("vorlan").locate_file(f)).resolve()
             for f in importlib.metadata.distribution("vorlan").files}
assert pathlib.Path(Vorlan.__file__).resolve() in installed, Vorlan.__file__

schema = {"constructors": [
    {"id": 0x5A3B1C01, "predicate": "user", "type": "User", "params": [
        {"name": "flags", "type": "#"}, {"name": "id", "type": "long"},
        {"name": "name", "type": "string"}, {"name": "verified", "type": "flags.1?true"}]}],
    "methods": []}
parser = SorbParser(schema)
user = {"_": "user", "id": 7, "name": "Ada", "verified": True}
data = parser.pack(user)
assert data.hex() == "011c3b5a02000000070000000000000003416461", data.hex()
assert parser.unpack(data) == user

# FIPS-197's AES-256 example block, as the first block of CBC with a zero IV.
key = bytes(range(32))
plain = bytes.fromhex("00112233445566778899aabbccddeeff")
box = ciphex.AesCbc256(key).encrypt(plain, bytes(16))
assert box.hex() == "8ea2b7ca516745bfeafc49904b496089", box.hex()
assert ciphex.AesIge256(key).decrypt(ciphex.AesIge256(key).encrypt(plain * 2, key), key) == plain * 2

backend = ciphex.backend()
if len(sys.argv) > 1:
    assert backend == sys.argv[1], (backend, sys.argv[1])
gil = sys._is_gil_enabled()
print(f"Vorlan {Vorlan.__version__} from {os.path.dirname(Vorlan.__file__)}: "
      f"sorb and ciphex ({backend}) work; lock {'on' if gil else 'off'}")
