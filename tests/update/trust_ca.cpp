// Makes the test Wine prefix trust the test server's throwaway CA.
//   trust_ca CA.der
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca CA.der\n");
        return 2;
    }
    FILE* file = _wfopen(argv[1], L"rb");
    if (file == nullptr) {
        std::fprintf(stderr, "trust_ca: cannot open %ls\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> der(65536);
    der.resize(std::fread(der.data(), 1, der.size(), file));
    std::fclose(file);
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(),
                                                 static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "trust_ca: not added (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
