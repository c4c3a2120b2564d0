// Adds a DER certificate to the current user's ROOT store of the Wine prefix
// it runs in, so that the HTTPS tests' own CA is trusted there and nowhere
// else. Usage: root_cert CA.der
#include <windows.h>

#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return !der.empty() && CertAddEncodedCertificateToSystemStoreW(
                               L"ROOT", reinterpret_cast<const BYTE*>(der.data()),
                               static_cast<DWORD>(der.size()))
               ? 0
               : 1;
}
