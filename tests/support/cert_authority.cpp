// SPDX-License-Identifier: Apache-2.0
#include "cert_authority.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

namespace quorvex::test {

namespace {
void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + command);
}
} // namespace

CertAuthority::CertAuthority() {
    char dir[] = "/tmp/quorvex-ca-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    dir_ = dir;
    caCert_ = dir_ + "/ca.pem";
    caKey_ = dir_ + "/ca.key";
    caFolder_ = dir_ + "/cas";
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=quorvex-test-ca"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
        caKey_ + " -out " + caCert_);
    // As a deployer makes one: the CA copied in, then openssl rehash names it by its subject hash.
    run("mkdir " + caFolder_ + " && cp " + caCert_ + " " + caFolder_ + "/quorvex-test-ca.pem && openssl rehash " +
        caFolder_);
    std::ofstream(dir_ + "/index.txt").close();
    std::ofstream(dir_ + "/serial") << "1000\n";
    std::ofstream(dir_ + "/ca.cnf") << "[ca]\ndefault_ca = test\n[test]\ndir = " << dir_
                                     << "\ndatabase = $dir/index.txt\nserial = $dir/serial\nnew_certs_dir = $dir\n"
                                        "certificate = $dir/ca.pem\nprivate_key = $dir/ca.key\ndefault_md = sha256\n"
                                        "policy = any\nunique_subject = no\ncopy_extensions = copy\n"
                                        "[any]\ncommonName = supplied\n";
}

CertAuthority::~CertAuthority() {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
}

KeyPair CertAuthority::issue(const std::string& name, const std::string& dns, const std::string& ip) {
    return sign(name, dns, ip, "-days 2");
}

KeyPair CertAuthority::issueExpired(const std::string& name, const std::string& dns, const std::string& ip) {
    return sign(name, dns, ip, "-startdate 20200101000000Z -enddate 20200102000000Z");
}

KeyPair CertAuthority::sign(const std::string& name, const std::string& dns, const std::string& ip,
                            const std::string& dates) {
    KeyPair pair{dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
    std::string request = dir_ + "/" + name + ".csr";
    run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + dns +
        " -addext subjectAltName=DNS:" + dns + ",IP:" + ip + " -keyout " + pair.key + " -out " + request);
    run("openssl ca -batch -notext -config " + dir_ + "/ca.cnf " + dates + " -in " + request + " -out " + pair.cert);
    return pair;
}

} // namespace quorvex::test
