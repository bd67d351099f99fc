#include "TlsFiles.h"

#include <memory>
#include <optional>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "CheckedFile.h"

namespace mqtt {

namespace {

// Far more than a key or a certificate chain takes; a larger file is no PEM file of ours.
constexpr std::size_t MaxPemBytes = 1 << 20;

// A key's passphrase is never asked for on a terminal: a service has none.
int noPassphrase(char *, int, int, void *) {
    return 0;
}

std::optional<std::string> readPem(const std::string &path, const std::string &what, CheckedFile::Kind kind,
                                   std::string &problem) {
    const auto file = CheckedFile::open(path, what, kind, problem);
    return file ? file->read(MaxPemBytes, problem) : std::nullopt;
}

// Reads the text in place, which must outlive it.
std::unique_ptr<BIO, decltype(&BIO_free)> memoryBio(const std::string &text) {
    return {BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free};
}

std::string certificateProblem(const std::string &certfile, const std::string &keyfile) {
    std::string problem;
    const auto certText = readPem(certfile, "the certificate file", CheckedFile::Kind::Public, problem);
    if (!certText)
        return problem;
    const auto keyText = readPem(keyfile, "the private key file", CheckedFile::Kind::Secret, problem);
    if (!keyText)
        return problem;
    const auto certBio = memoryBio(*certText), keyBio = memoryBio(*keyText);
    if (!certBio || !keyBio)
        return "out of memory reading the certificate and key";
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certBio.get(), nullptr, noPassphrase, nullptr), X509_free);
    if (!certificate)
        return "the certificate file " + certfile + " holds no PEM certificate";
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, nullptr), EVP_PKEY_free);
    if (!key)
        return "the private key file " + keyfile + " holds no private key in PEM without a passphrase";
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return "the private key in " + keyfile + " does not match the certificate in " + certfile;
    return {};
}

} // namespace

std::string tlsFilesProblem(const std::string &cafile, const std::string &certfile,
                            const std::string &keyfile) {
    std::string problem;
    if (!cafile.empty() && !CheckedFile::open(cafile, "the CA file", CheckedFile::Kind::Public, problem))
        return problem;
    if (!certfile.empty())
        return certificateProblem(certfile, keyfile);
    return {};
}

} // namespace mqtt
