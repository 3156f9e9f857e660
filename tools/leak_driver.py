"""A short run of every operation for the memory checkers: the loops of the
leak test, without its growth thresholds (which mean nothing under a
checker's allocator), then the sorb reader, writer and compiler tests."""
import sys

sys.path.insert(0, "tests")

import pytest  # noqa: E402
import test_leaks as loops  # noqa: E402
from Vorlan.sorb import SorbParser  # noqa: E402

example, kinds = SorbParser(loops.EXAMPLE_SCHEMA), SorbParser(loops.KINDS_SCHEMA)
for _ in range(300):
    loops.sorb_round(example, kinds)
    loops.ciphex_round(bytes(range(32)), bytes(1024))
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "tests/test_sorb_reader.py",
                      "tests/test_sorb_writer.py", "tests/test_sorb_compiler.py"]))
