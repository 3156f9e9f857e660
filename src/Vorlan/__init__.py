"""Vorlan: native core of a schema-driven remote-procedure protocol.

``Vorlan.sorb`` compiles a JSON schema and packs/unpacks wire messages;
``Vorlan.ciphex`` provides AES-256 in IGE, CBC and CTR mode.
"""

__version__ = "0.2.0"
