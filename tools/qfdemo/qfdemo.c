/* qfdemo: a sample host of QF-ATM.dll. It loads the bridge, shows ATM's version, adds a font,
 * asks its status, removes it inside a font change, and finishes, printing every call with its
 * result. Built like the kit: no C runtime, linked against the SDK's import library.
 * Exit code 0 when the bridge loaded, 1 when it did not. */
#include <windows.h>

#include "qfatm.h"

static HANDLE out;

#define RESULT_COLUMN 52 /* where " = result" begins */

static void Write(const char* text, DWORD length)
{
    DWORD written;
    if (out != NULL && out != INVALID_HANDLE_VALUE) WriteFile(out, text, length, &written, NULL);
}

/* One line of the transcript, built in a fixed buffer. */
static char line[160];
static DWORD used;

static void Put(const char* text)
{
    while (*text != '\0' && used < sizeof line - 2) line[used++] = *text++;
}

static void PutDecimal(int value)
{
    char digits[12];
    int n = 0;
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) Put("-");
    while (n > 0) {
        char c[2] = {digits[--n], '\0'};
        Put(c);
    }
}

static void PutHex16(unsigned value)
{
    static const char hex[] = "0123456789ABCDEF";
    char text[7] = {'0', 'x', hex[value >> 12 & 15], hex[value >> 8 & 15], hex[value >> 4 & 15], hex[value & 15], '\0'};
    Put(text);
}

static void EndLine(void)
{
    line[used++] = '\r';
    line[used++] = '\n';
    Write(line, used);
    used = 0;
}

/* The name of a result that is one of the bridge's codes; other results are ATM's own. */
static const char* ResultName(int result)
{
    switch (result) {
    case QF_OK: return "QF_OK";
    case QF_NO_MEMORY: return "QF_NO_MEMORY";
    case QF_NOT_AVAILABLE: return "QF_NOT_AVAILABLE";
    case QF_NOT_LOADED: return "QF_NOT_LOADED";
    case QF_ABORTED: return "QF_ABORTED";
    case QF_BAD_ARGUMENT: return "QF_BAD_ARGUMENT";
    case QF_BUSY: return "QF_BUSY";
    }
    return "ATM's own result";
}

/* "call = result (", the call's text padded to one column; the caller ends the line. */
static void BeginReport(const char* call, int result)
{
    Put(call);
    while (used < RESULT_COLUMN) Put(" ");
    Put(" = ");
    PutDecimal(result);
    Put(" (");
}

static void Report(const char* call, int result, const char* name)
{
    BeginReport(call, result);
    Put(name);
    Put(")");
    EndLine();
}

static void ReportCall(const char* call, int result) { Report(call, result, ResultName(result)); }

static char font_metrics[] = "DEMOSANS.PFM";
static char font_outlines[] = "DEMOSANS.PFB";
static char no_path[] = "";

void __cdecl DemoMain(void)
{
    int loaded, version;
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    Put("qfdemo: QF-ATM.dll sample host");
    EndLine();

    loaded = QFProperlyLoaded();
    Report("QFProperlyLoaded()", loaded, loaded == 1 ? "loaded" : "not loaded");

    version = QFGetVersion();
    BeginReport("QFGetVersion()", version);
    PutHex16((unsigned)version & 0xFFFF);
    Put(")");
    EndLine();

    ReportCall("QFBeginFontChange()", QFBeginFontChange());
    ReportCall("QFAddFont(\"DEMOSANS.PFM\", 0, \"DEMOSANS.PFB\", \"\")", QFAddFont(font_metrics, 0, font_outlines, no_path));
    ReportCall("QFFontStatus(\"DEMOSANS.PFM\", 0, \"DEMOSANS.PFB\", \"\")", QFFontStatus(font_metrics, 0, font_outlines, no_path));
    ReportCall("QFRemoveFont(\"DEMOSANS.PFM\", 0)", QFRemoveFont(font_metrics, 0));
    ReportCall("QFEndFontChange()", QFEndFontChange());
    ReportCall("QFFinish()", QFFinish());
    ExitProcess(loaded == 1 ? 0 : 1);
}
