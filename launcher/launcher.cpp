// The kit's setup launcher: asks the shell to perform "install" on setup.inf, reports on standard
// output whether the shell accepted the request, and ends with exit code 0.
#include <windows.h>
#include <shellapi.h>

namespace {

// Standard output through a 128-byte buffer, opened on the first write. A console gets the
// buffer when a line ends; a file or a pipe when the stream is closed. Without a usable handle
// the text is dropped.
struct OutputStream {
    HANDLE handle;
    bool opened;   // an attempt to open was made
    bool usable;
    bool console;
    DWORD used;
    char buffer[128];
};

OutputStream out;

void Open()
{
    out.opened = true;
    out.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out.handle == nullptr || out.handle == INVALID_HANDLE_VALUE) return;
    DWORD type = GetFileType(out.handle);
    if (type == FILE_TYPE_UNKNOWN) return;
    out.usable = true;
    out.console = type == FILE_TYPE_CHAR;
}

void Flush()
{
    if (out.used == 0) return;
    DWORD written;
    WriteFile(out.handle, out.buffer, out.used, &written, nullptr);
    out.used = 0;
}

void Write(const char* text)
{
    if (!out.opened) Open();
    if (!out.usable) return;
    for (; *text != '\0'; ++text) {
        if (out.used == sizeof out.buffer) Flush();
        out.buffer[out.used++] = *text;
    }
}

void EndLine()
{
    Write("\r\n");
    if (out.usable && out.console) Flush();
}

void Close()
{
    if (out.usable) Flush();
}

}  // namespace

extern "C" void WINAPI LauncherMain()
{
    HINSTANCE result = ShellExecuteA(nullptr, "install", "setup.inf", nullptr, nullptr, SW_SHOWNORMAL);
    // A result above 32 means the shell accepted the request; anything else is an error code.
    Write((UINT_PTR)result > 32 ? "Installation completed.\nYou may close this window now." : "Installation failed.");
    EndLine();
    Close();
    ExitProcess(0);
}
