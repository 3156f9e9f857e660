"""Uses every class, method and function of the package with full types; a
strict type check of this file catches stubs that drift from the API."""
import array

from Vorlan import ciphex, sorb


def use_ciphex() -> bytes:
    key = bytes(32)
    ige = ciphex.AesIge256(key)
    cbc = ciphex.AesCbc256(key=bytearray(key))
    box: bytes = ige.encrypt(b"\0" * 16, bytes(32)) + cbc.encrypt(memoryview(bytes(16)), bytes(16))
    buffer = bytearray(box)
    ige.encrypt_into(buffer[:16], bytes(32))
    ige.decrypt_into(data=buffer, iv=bytes(32)) if len(buffer) % 16 == 0 else None
    cbc.decrypt_into(array.array("B", bytes(16)), iv=bytes(16))
    plain: bytes = ige.decrypt(box[:16], bytes(32)) + cbc.decrypt(box[16:], bytes(16))
    ctr = ciphex.AesCtr256(key, bytes(16), state=3)
    stream: bytes = ctr.crypt(plain)
    ctr.crypt_into(bytearray(5))
    ctr.seek(pos=0)
    position: int = ctr.offset + ctr.state
    report = ciphex.features()
    aes_ni: int = report["aes_ni"]
    name: str = report["backend"] + ciphex.backend()
    ident: int = ciphex.backend_id() + report["backend_id"] + aes_ni + position
    return stream + name.encode() + bytes([ident & 0xFF])


def use_sorb() -> dict[str, object]:
    schema = {"constructors": [{"id": 1, "predicate": "ping", "params": []}]}
    compiler = sorb.SorbSchemaCompiler()
    compiler.compile(json_data=schema)
    parser = sorb.SorbParser(schema_json='{"constructors": [{"id": 1, "predicate": "ping"}]}')
    data: bytes = parser.pack({"_": "ping"})
    result: dict[str, object] = parser.unpack(data=data)
    return result


if __name__ == "__main__":
    use_ciphex()
    use_sorb()
