// Differential fuzz target of ciphex. The input decodes to a key, an IV, a
// mode and either one block-mode call or a CTR stream with a sequence of
// seeks and partial crypts. Every call runs through the module (on the
// process's backend, with bytes, bytearray or memoryview arguments, in place
// or not), through the core's software and AES-NI routines directly, and
// through libcrypto (EVP for CBC and CTR, IGE built on ECB); all must agree,
// as must the object's offset and state with where the stream should be.
#include <Python.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "aes_core.h"
#include "backend.h"
#include "embed.h"
#include "modes.h"
#include "modes_internal.h"

namespace {

using namespace vorlan::ciphex;
using vorlan::fuzz::die;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMaxSeek = (std::uint64_t{1} << 63) - 1;
constexpr std::size_t kMaxOps = 16;
constexpr std::size_t kMaxStreamBytes = 4096;  // beyond this, long crypts stop

PyObject* g_classes[3] = {};  // AesIge256, AesCbc256, AesCtr256
// Method and property names, interned once: fresh strings for every call
// would keep the allocation counts of an input uneven (the interpreter's
// attribute cache holds on to the latest), which sets off libFuzzer's leak
// checks for nothing.
enum Name { kEncrypt, kDecrypt, kEncryptInto, kDecryptInto, kCrypt, kCryptInto, kSeek, kOffset,
            kState, kNames };
const char* const kNameText[kNames] = {"encrypt", "decrypt", "encrypt_into", "decrypt_into",
                                       "crypt", "crypt_into", "seek", "offset", "state"};
PyObject* g_names[kNames] = {};
const char* const kTags[3] = {"ige256", "cbc256", "ctr256"};
bool g_have_aesni = false;

// The input as a sequence of choices; zeros once it runs out.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;

    std::uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    void take(std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = byte();
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }
};

// ---- Python side ------------------------------------------------------------

// Owns one reference; the fuzz target dies on any unexpected failure, so a
// null here is reported at once by the caller.
struct Ref {
    PyObject* p;
    explicit Ref(PyObject* o = nullptr) : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
    PyObject* get() const { return p; }
};

PyObject* bytes_of(const std::uint8_t* data, std::size_t n) {
    PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                            static_cast<Py_ssize_t>(n));
    if (b == nullptr) die("bytes");
    return b;
}

// A data argument of the kind the input chose: for reading, bytes,
// bytearray or a memoryview of bytes; for writing, a bytearray or a
// memoryview of one. `owner` receives the bytearray, if one holds the data.
PyObject* data_argument(const Bytes& data, bool writable, unsigned kind, Ref& owner) {
    const unsigned pick = writable ? (kind % 2 ? 3 : 1) : kind % 3;
    if (pick == 0 || pick == 2) {
        PyObject* b = bytes_of(data.data(), data.size());
        if (pick == 0) return b;
        PyObject* view = PyMemoryView_FromObject(b);
        Py_DECREF(b);
        if (view == nullptr) die("memoryview");
        return view;
    }
    PyObject* array = PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                    static_cast<Py_ssize_t>(data.size()));
    if (array == nullptr) die("bytearray");
    owner.p = array;
    if (pick == 1) return Py_NewRef(array);
    PyObject* view = PyMemoryView_FromObject(array);
    if (view == nullptr) die("memoryview");
    return view;
}

Bytes contents(PyObject* obj) {
    char* p;
    Py_ssize_t n;
    if (PyByteArray_Check(obj)) {
        p = PyByteArray_AS_STRING(obj);
        n = PyByteArray_GET_SIZE(obj);
    } else if (PyBytes_AsStringAndSize(obj, &p, &n) < 0) {
        die("result is not bytes");
    }
    return Bytes(p, p + n);
}

// Expects the pending exception to be a ValueError with exactly this text.
void expect_value_error(const char* tag, const char* what) {
    char expected[96];
    std::snprintf(expected, sizeof expected, "%s %s", tag, what);
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr || !PyErr_GivenExceptionMatches(exc, PyExc_ValueError)) {
        PyErr_SetRaisedException(exc);
        die(expected);
    }
    Ref text(PyObject_Str(exc));
    Py_DECREF(exc);
    if (text.get() == nullptr || PyUnicode_CompareWithASCIIString(text.get(), expected) != 0) {
        die(expected);
    }
}

std::uint64_t int_attr(PyObject* obj, Name name) {
    Ref v(PyObject_GetAttr(obj, g_names[name]));
    if (v.get() == nullptr) die(kNameText[name]);
    std::uint64_t out = PyLong_AsUnsignedLongLong(v.get());
    if (PyErr_Occurred()) die(kNameText[name]);
    return out;
}

PyObject* call1(PyObject* obj, Name name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return PyObject_VectorcallMethod(g_names[name], args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// ---- libcrypto ----------------------------------------------------------------

void evp(const EVP_CIPHER* cipher, int enc, const std::uint8_t* key, const std::uint8_t* iv,
         const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int outl = 0;
    bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, enc) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &outl, in, static_cast<int>(len)) == 1 &&
              static_cast<std::size_t>(outl) == len;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) die("libcrypto");
}

// IGE from the raw block cipher: c_i = E(p_i ^ c_{i-1}) ^ p_{i-1} with
// iv = c_0 || p_0, and its inverse.
void ossl_ige(int enc, const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in,
              std::size_t len, std::uint8_t* out) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr, enc) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    std::uint8_t prev_c[16], prev_p[16], block[16], next[16];
    std::memcpy(prev_c, iv, 16);
    std::memcpy(prev_p, iv + 16, 16);
    for (std::size_t at = 0; ok && at + 16 <= len; at += 16) {
        const std::uint8_t* x = in + at;
        for (int i = 0; i < 16; ++i) block[i] = x[i] ^ (enc ? prev_c[i] : prev_p[i]);
        int outl = 0;
        ok = EVP_CipherUpdate(ctx, block, &outl, block, 16) == 1 && outl == 16;
        for (int i = 0; i < 16; ++i) next[i] = block[i] ^ (enc ? prev_p[i] : prev_c[i]);
        if (enc) {
            std::memcpy(prev_p, x, 16);
            std::memcpy(prev_c, next, 16);
        } else {
            std::memcpy(prev_c, x, 16);
            std::memcpy(prev_p, next, 16);
        }
        std::memcpy(out + at, next, 16);
    }
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) die("libcrypto");
}

// data XOR the keystream from absolute position pos: counter iv + pos / 16
// (mod 2^128), pos % 16 bytes of its block skipped.
Bytes ossl_ctr(const std::uint8_t* key, const std::uint8_t* iv, std::uint64_t pos, const Bytes& data) {
    unsigned __int128 c = 0;
    for (int i = 0; i < 16; ++i) c = c << 8 | iv[i];
    c += pos >> 4;
    std::uint8_t block[16];
    for (int i = 15; i >= 0; --i, c >>= 8) block[i] = static_cast<std::uint8_t>(c);
    unsigned skip = static_cast<unsigned>(pos & 15);
    Bytes in(skip, 0), out(skip + data.size());
    in.insert(in.end(), data.begin(), data.end());
    evp(EVP_aes_256_ctr(), 1, key, block, in.data(), in.size(), out.data());
    return Bytes(out.begin() + skip, out.end());
}

// ---- the core's two backends ---------------------------------------------------

using BlockRoutine = void (*)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                              const std::uint8_t*, std::uint8_t*);

BlockRoutine soft_routine(int mode, int enc) {
    if (mode == 0) return enc ? soft_ige256_encrypt : soft_ige256_decrypt;
    return enc ? soft_cbc256_encrypt : soft_cbc256_decrypt;
}

#if CIPHEX_HAVE_AESNI
BlockRoutine aesni_routine(int mode, int enc) {
    if (mode == 0) return enc ? aesni_ige256_encrypt : aesni_ige256_decrypt;
    return enc ? aesni_cbc256_encrypt : aesni_cbc256_decrypt;
}
#endif

void same(const Bytes& a, const Bytes& b, const char* what) {
    if (a != b) die(what);
}

// Runs one routine of the core in place or not, into a fresh copy.
Bytes core_block(BlockRoutine routine, const AesKeySchedule& s, const Bytes& data,
                 const std::uint8_t* iv, bool in_place) {
    Bytes out(data.size(), 0xA5);
    if (in_place) {
        out = data;
        routine(s, out.data(), out.size(), iv, out.data());
    } else {
        routine(s, data.data(), data.size(), iv, out.data());
    }
    return out;
}

void block_case(int mode, Reader& in, const std::uint8_t* key, unsigned flags) {
    const int enc = !(flags & 1);
    const bool into = flags & 2;
    const unsigned kind = flags >> 2;
    std::uint8_t iv[32];
    const std::size_t iv_size = mode == 0 ? 32 : 16;
    in.take(iv, iv_size);
    Bytes data(in.data, in.data + in.size);
    if (kind % 7 == 6 && !data.empty()) data.pop_back();  // sometimes off the block grid

    Ref obj(PyObject_CallOneArg(g_classes[mode], Ref(bytes_of(key, 32)).get()));
    if (obj.get() == nullptr) die("block-mode constructor");
    Ref owner;
    Ref arg(data_argument(data, into, kind, owner));
    Ref iv_obj(bytes_of(iv, iv_size));
    const Name name = into ? (enc ? kEncryptInto : kDecryptInto) : (enc ? kEncrypt : kDecrypt);
    const char* method = kNameText[name];
    PyObject* args[] = {obj.get(), arg.get(), iv_obj.get()};
    Ref result(PyObject_VectorcallMethod(g_names[name], args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
    if (data.size() % 16 != 0) {
        if (result.get() != nullptr) die("unaligned data accepted");
        expect_value_error(kTags[mode], "data length must be a multiple of 16");
        if (into) same(contents(owner.get()), data, "refused call changed its buffer");
        return;
    }
    if (result.get() == nullptr) die(method);
    Bytes got = into ? contents(owner.get()) : contents(result.get());
    if (into && result.get() != Py_None) die("_into did not return None");

    Bytes want(data.size());
    if (mode == 0) {
        ossl_ige(enc, key, iv, data.data(), data.size(), want.data());
    } else {
        evp(EVP_aes_256_cbc(), enc, key, iv, data.data(), data.size(), want.data());
    }
    same(got, want, "module differs from libcrypto");

    AesKeySchedule soft;
    aes256_expand_key(soft, key, 1);
    same(core_block(soft_routine(mode, enc), soft, data, iv, into), want, "soft backend differs");
#if CIPHEX_HAVE_AESNI
    if (g_have_aesni) {
        AesKeySchedule wide;
        aes256_expand_key_aesni(wide, key, 1);
        if (std::memcmp(&soft, &wide, sizeof soft) != 0) die("key schedules differ");
        same(core_block(aesni_routine(mode, enc), wide, data, iv, !into), want,
             "AES-NI backend differs");
    }
#endif
}

// One stream of the core on one backend, shadowing the module's object.
struct CoreStream {
    AesKeySchedule schedule;
    CtrStreamState state;
    void (*crypt)(const AesKeySchedule&, CtrStreamState&, const std::uint8_t*, std::size_t,
                  std::uint8_t*);

    Bytes run(const Bytes& data, bool in_place) {
        Bytes out(data.size(), 0x5A);
        if (in_place) {
            out = data;
            crypt(schedule, state, out.data(), out.size(), out.data());
        } else {
            crypt(schedule, state, data.data(), data.size(), out.data());
        }
        return out;
    }
};

void ctr_case(Reader& in, const std::uint8_t* key) {
    std::uint8_t iv[16];
    in.take(iv, 16);
    const unsigned start = in.byte() % 16;
    Ref obj(PyObject_CallFunction(g_classes[2], "y#y#I", reinterpret_cast<const char*>(key),
                                  Py_ssize_t{32}, reinterpret_cast<const char*>(iv),
                                  Py_ssize_t{16}, start));
    if (obj.get() == nullptr) die("AesCtr256");

    CoreStream streams[2];
    int n_streams = 1;
    streams[0].crypt = soft_ctr256_crypt;
    aes256_expand_key(streams[0].schedule, key, 0);
#if CIPHEX_HAVE_AESNI
    if (g_have_aesni) {
        streams[1].crypt = aesni_ctr256_crypt;
        aes256_expand_key_aesni(streams[1].schedule, key, 0);
        n_streams = 2;
    }
#endif
    for (int i = 0; i < n_streams; ++i) ctr256_init(streams[i].state, streams[i].schedule, iv, start);

    std::uint64_t pos = start;
    std::size_t total = 0;
    for (std::size_t op = 0; op < kMaxOps && in.size > 0; ++op) {
        const unsigned code = in.byte();
        if (code % 4 == 0) {
            // Seek: near the start, near the end of the range, anywhere, or
            // (refused) below zero.
            std::uint64_t raw = in.u64();
            long long target;
            switch (code >> 2 & 3) {
                case 0: target = static_cast<long long>(raw & 0xFFFF); break;
                case 1: target = static_cast<long long>(kMaxSeek - (raw & 0xFFF)); break;
                case 2: target = static_cast<long long>(raw & kMaxSeek); break;
                default: target = -1 - static_cast<long long>(raw & 0xFF); break;
            }
            Ref pos_obj(PyLong_FromLongLong(target));
            if (pos_obj.get() == nullptr) die("int");
            Ref r(call1(obj.get(), kSeek, pos_obj.get()));
            if (target < 0) {
                if (r.get() != nullptr) die("negative seek accepted");
                expect_value_error("ctr256", "seek position must be non-negative");
            } else {
                if (r.get() == nullptr) die("seek");
                pos = static_cast<std::uint64_t>(target);
                for (int i = 0; i < n_streams; ++i) {
                    ctr256_seek(streams[i].state, streams[i].schedule, pos);
                }
            }
        } else {
            // A partial crypt, mostly short, sometimes long enough for the
            // wide paths.
            std::size_t n = (in.byte() | std::size_t{in.byte()} << 8) % 300;
            if (code % 8 == 7 && total < kMaxStreamBytes) n *= 19;
            Bytes data(n);
            for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + code);
            const bool into = code & 1;
            Ref owner;
            Ref arg(data_argument(data, into, code >> 4, owner));
            Ref r(call1(obj.get(), into ? kCryptInto : kCrypt, arg.get()));
            if (r.get() == nullptr) die("crypt");
            Bytes got = into ? contents(owner.get()) : contents(r.get());
            Bytes want = ossl_ctr(key, iv, pos, data);
            same(got, want, "module keystream differs from libcrypto");
            for (int i = 0; i < n_streams; ++i) {
                same(streams[i].run(data, (code >> 1 & 1) != 0), want, "core keystream differs");
            }
            pos += n;
            total += n;
        }
        if (int_attr(obj.get(), kOffset) != pos) die("offset");
        if (int_attr(obj.get(), kState) != ((pos & 15) ? (pos & 15) : 16)) die("state");
        for (int i = 0; i < n_streams; ++i) {
            const CtrStreamState& s = streams[i].state;
            if (s.offset != pos || s.state != ((pos & 15) ? (pos & 15) : 16)) die("core stream position");
        }
        if (n_streams == 2) {
            const CtrStreamState &a = streams[0].state, &b = streams[1].state;
            if (std::memcmp(a.counter, b.counter, 16) != 0 ||
                (a.state < 16 && std::memcmp(a.keystream, b.keystream, 16) != 0)) {
                die("backends' streams differ");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vorlan::fuzz::start_interpreter();
    PyObject* module = vorlan::fuzz::import_or_die("Vorlan.ciphex");
    const char* names[3] = {"AesIge256", "AesCbc256", "AesCtr256"};
    for (int i = 0; i < 3; ++i) {
        g_classes[i] = PyObject_GetAttrString(module, names[i]);
        if (g_classes[i] == nullptr) die(names[i]);
    }
    Py_DECREF(module);
    for (int i = 0; i < kNames; ++i) {
        g_names[i] = PyUnicode_InternFromString(kNameText[i]);
        if (g_names[i] == nullptr) die(kNameText[i]);
    }
    detect_backend();  // the core's own record, for its software tables
    g_have_aesni = cpu_features().aes_ni != 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const unsigned head = in.byte();
    std::uint8_t key[32];
    in.take(key, 32);
    const int mode = static_cast<int>(head % 3);
    if (mode == 2) {
        ctr_case(in, key);
    } else {
        block_case(mode, in, key, head / 3);
    }
    if (PyErr_Occurred()) die("exception left set");
    vorlan::fuzz::input_done();
    return 0;
}
