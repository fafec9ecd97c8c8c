// Keys and signatures through OpenSSL 3's libcrypto.
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

#include "Keys.h"

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) &&
           std::string(group) == "prime256v1";
}

bool PointOf(EVP_PKEY* key, PublicKey& out) {
    BIGNUM *x = nullptr, *y = nullptr;
    const bool got = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) &&
                     EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    Owned<BIGNUM> ox(x), oy(y);
    return got && BN_bn2binpad(x, out.data(), 32) == 32 && BN_bn2binpad(y, out.data() + 32, 32) == 32;
}

Owned<EVP_PKEY> ReadPem(const fs::path& file, bool wantPrivate, std::string& error) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
        error = PathToUtf8(file) + ": cannot be read";
        return nullptr;
    }
    Owned<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Owned<EVP_PKEY> key(wantPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                    : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key && !wantPrivate && text.find("PRIVATE KEY-----") != std::string::npos) {
        error = PathToUtf8(file) + ": is a private key; give its public half (the .pub file)";
        return nullptr;
    }
    if (!key) {
        error = PathToUtf8(file) + (wantPrivate ? ": not a PEM private key" : ": not a PEM public key");
        return nullptr;
    }
    if (!IsP256(key.get())) {
        error = PathToUtf8(file) + ": not an ECDSA P-256 key";
        return nullptr;
    }
    return key;
}

bool WriteNewFile(const fs::path& file, const std::string& text, bool ownerOnly, std::string& error) {
    // Created with its final permissions, so a private key is never readable by others, not even briefly.
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, ownerOnly ? 0600 : 0644);
    FILE* f = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!f) {
        if (fd >= 0) close(fd);
        error = PathToUtf8(file) + ": cannot be created (it must not exist yet)";
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
        std::error_code ec;
        fs::remove(file, ec);
        error = PathToUtf8(file) + ": cannot be written";
        return false;
    }
    return true;
}

template <typename Write>
std::string PemText(EVP_PKEY* key, Write write) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!write(bio.get(), key)) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace

bool GenerateKeyPair(const fs::path& privateFile, const fs::path& publicFile, std::string& publicPem,
                     std::string& error) {
    if (!KeyFilesAreNew(privateFile, publicFile, error)) return false;
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    if (!key) {
        error = "the key pair could not be generated";
        return false;
    }
    const std::string privatePem = PemText(key.get(), [](BIO* b, EVP_PKEY* k) {
        return PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    publicPem = PemText(key.get(), [](BIO* b, EVP_PKEY* k) { return PEM_write_bio_PUBKEY(b, k) == 1; });
    if (privatePem.empty() || publicPem.empty()) {
        error = "the key pair could not be written out";
        return false;
    }
    if (!WriteNewFile(privateFile, privatePem, true, error)) return false;
    if (WriteNewFile(publicFile, publicPem, false, error)) return true;
    // Half a pair would only block the next keygen.
    std::error_code ec;
    fs::remove(privateFile, ec);
    return false;
}

bool ReadPublicKeyFile(const fs::path& file, PublicKey& key, std::string& error) {
    Owned<EVP_PKEY> pkey = ReadPem(file, false, error);
    if (!pkey) return false;
    if (!PointOf(pkey.get(), key)) {
        error = PathToUtf8(file) + ": its public point cannot be read";
        return false;
    }
    return true;
}

bool SignMessage(const fs::path& privateFile, const std::string& message, ManifestSignature& signature,
                 std::string& error) {
    Owned<EVP_PKEY> key = ReadPem(privateFile, true, error);
    if (!key) return false;
    PublicKey point;
    if (!PointOf(key.get(), point)) {
        error = PathToUtf8(privateFile) + ": its public point cannot be read";
        return false;
    }
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    size_t length = 0;
    std::string der;
    bool ok = ctx && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
              EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size()) == 1;
    if (ok) {
        der.resize(length);
        ok = EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<ECDSA_SIG> sig(ok ? d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)) : nullptr);
    const BIGNUM *r = nullptr, *s = nullptr;
    if (sig) ECDSA_SIG_get0(sig.get(), &r, &s);
    if (!sig || BN_bn2binpad(r, signature.rs.data(), 32) != 32 || BN_bn2binpad(s, signature.rs.data() + 32, 32) != 32) {
        error = "signing failed";
        return false;
    }
    signature.keyId = KeyIdOf(point);
    return true;
}

bool ReadPublicHalf(const fs::path& privateFile, PublicKey& key, std::string& error) {
    Owned<EVP_PKEY> pkey = ReadPem(privateFile, true, error);
    if (pkey && PointOf(pkey.get(), key)) return true;
    if (pkey) error = PathToUtf8(privateFile) + ": its public point cannot be read";
    return false;
}

bool VerifyMessage(const PublicKey& key, const std::string& message, const std::array<uint8_t, 64>& rs) {
    unsigned char encoded[65] = {4};
    std::copy(key.begin(), key.end(), encoded + 1);
    Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
    if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded))
        return false;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
    Owned<EVP_PKEY_CTX> fromData(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !fromData || EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
        EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return false;
    Owned<EVP_PKEY> pkey(raw);
    Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(rs.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) return false;
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) == 1 &&
                    EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(derLength),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    OPENSSL_free(der);
    return ok;
}
