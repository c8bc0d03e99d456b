// The test binaries are static, and glibc's resolver cannot work in a static program. Only
// GoogleTest's optional streaming of results to a socket refers to it; this stands in so that the
// resolver is not linked at all, and that option reports failure instead.
#include <netdb.h>

extern "C" int getaddrinfo(const char*, const char*, const struct addrinfo*, struct addrinfo** result)
{
    *result = nullptr;
    return EAI_FAIL;
}

extern "C" void freeaddrinfo(struct addrinfo*) {}
