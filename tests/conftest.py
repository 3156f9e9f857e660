import os
import sys

# The shared helpers (wire_model, rpc_schema) sit next to the tests; the
# importlib import mode does not put this folder on the path by itself.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
