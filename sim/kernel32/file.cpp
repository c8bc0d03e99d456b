// KERNEL32: standard handles and writing to them.
#include <unistd.h>

#include "../core/exports.h"
#include "../core/fault.h"
#include "../core/machine.h"

using namespace sim;
using win32::BOOL;
using win32::DWORD;
using win32::HANDLE;

namespace {

constexpr uintptr_t kFirstStdHandle = 0x100;  // handle values of the three standard streams

Stream* StreamOf(HANDLE h)
{
    uintptr_t v = (uintptr_t)h;
    if (v < kFirstStdHandle || v >= kFirstStdHandle + 3) return nullptr;
    return machine().std_handles[v - kFirstStdHandle];
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    unsigned index = win32::kStdInput - which;  // -10, -11, -12 -> 0, 1, 2
    if (index > 2) return win32::InvalidHandle();
    if (machine().std_handle_invalid[index]) return win32::InvalidHandle();
    return machine().std_handles[index] ? (HANDLE)(kFirstStdHandle + index) : nullptr;
}
SIM_EXPORT("KERNEL32", GetStdHandle);

DWORD WINAPI GetFileType(HANDLE h)
{
    Stream* s = StreamOf(h);
    return s ? s->type : win32::kFileTypeUnknown;
}
SIM_EXPORT("KERNEL32", GetFileType);

// True when every byte of [data, data + size) can be read: one byte of each page it touches.
bool Readable(const void* data, DWORD size)
{
    if (size == 0) return true;
    uint32_t first = (uint32_t)(uintptr_t)data, last = first + size - 1;
    if (last < first) return false;  // wraps around the address space
    uint8_t byte;
    for (uint32_t page = first & ~0xFFFu;; page += 0x1000) {
        uint32_t at = page < first ? first : page;
        if (!CopyGuarded(&byte, (const void*)(uintptr_t)at, 1)) return false;
        if (page == (last & ~0xFFFu)) return true;
    }
}

BOOL WINAPI WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written, void* overlapped)
{
    if (written == nullptr && overlapped == nullptr) {
        Violation("WriteFile without a count of bytes written");
        return 0;
    }
    Stream* s = StreamOf(h);
    if (s == nullptr) return 0;
    // A buffer that cannot be read fails the call, as on Windows; only a readable one is copied.
    if (written) *written = 0;
    if (!Readable(data, size)) return 0;
    std::string bytes((const char*)data, size);
    s->bytes += bytes;
    s->writes.push_back(bytes);
    if (s->forward_fd >= 0 && size && write(s->forward_fd, data, size) < 0) return 0;
    if (written) *written = size;
    return win32::kTrue;
}
SIM_EXPORT("KERNEL32", WriteFile);

}  // namespace
