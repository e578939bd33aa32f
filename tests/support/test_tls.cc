#include "test_tls.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>

namespace tavoren::testing {
namespace fs = std::filesystem;

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test TLS material: ") + what + " failed");
}

Key make_key() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  check(key != nullptr, "making a key");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "making an extension");
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  check(added, "adding an extension");
}

// A certificate for `key` named `common_name`, signed by `issuer_key` as
// `issuer` (itself when issuer is null). A CA when `ca`; otherwise a
// server certificate for the loopback names.
Cert make_cert(EVP_PKEY* key, const std::string& common_name, X509* issuer, EVP_PKEY* issuer_key,
               bool ca, long serial) {
  Cert cert(X509_new());
  check(cert != nullptr, "making a certificate");
  X509* c = cert.get();
  check(X509_set_version(c, 2) == 1, "setting the version");
  check(ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1, "setting the serial");
  check(X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr, "setting the start");
  check(X509_gmtime_adj(X509_getm_notAfter(c), 24 * 3600) != nullptr, "setting the end");
  check(X509_set_pubkey(c, key) == 1, "setting the key");
  X509_NAME* name = X509_get_subject_name(c);
  check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("tavoren tests"), -1, -1,
                                   0) == 1,
        "naming");
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                   -1, 0) == 1,
        "naming");
  X509* signer = issuer == nullptr ? c : issuer;
  check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1, "setting the issuer");
  if (ca) {
    add_extension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(c, signer, NID_subject_key_identifier, "hash");
  } else {
    add_extension(c, signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(c, signer, NID_key_usage, "critical,digitalSignature");
    add_extension(c, signer, NID_ext_key_usage, "serverAuth");
    add_extension(c, signer, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
  }
  add_extension(c, signer, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(c, issuer_key == nullptr ? key : issuer_key, EVP_sha256()) > 0, "signing");
  return cert;
}

void write_pem(const fs::path& path, const std::function<bool(BIO*)>& writer) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "w"));
  check(bio != nullptr, "opening a PEM file");
  check(writer(bio.get()), "writing a PEM file");
}

void write_certs(const fs::path& path, std::initializer_list<X509*> certs) {
  write_pem(path, [&](BIO* bio) {
    for (X509* cert : certs) {
      if (PEM_write_bio_X509(bio, cert) != 1) return false;
    }
    return true;
  });
}

void write_key(const fs::path& path, EVP_PKEY* key) {
  write_pem(path, [&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
}

// One CA with one server certificate, written under `dir` with `prefix`.
void make_authority(const fs::path& dir, const std::string& prefix, long serial, fs::path& ca_file,
                    fs::path& chain_file, fs::path& key_file) {
  Key ca_key = make_key();
  Cert ca = make_cert(ca_key.get(), prefix + " test CA", nullptr, nullptr, true, serial);
  Key server_key = make_key();
  Cert server = make_cert(server_key.get(), "localhost", ca.get(), ca_key.get(), false, serial + 1);
  ca_file = dir / (prefix + "-ca.pem");
  chain_file = dir / (prefix + "-server-chain.pem");
  key_file = dir / (prefix + "-server-key.pem");
  write_certs(ca_file, {ca.get()});
  write_certs(chain_file, {server.get(), ca.get()});
  write_key(key_file, server_key.get());
}

}  // namespace

TestTls::TestTls() {
  make_authority(dir_.path(), "main", 1000, ca_, server_chain_, server_key_);
  make_authority(dir_.path(), "other", 2000, other_ca_, other_server_chain_, other_server_key_);
}

}  // namespace tavoren::testing
