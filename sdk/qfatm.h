/* qfatm.h: the interface of QF-ATM.dll, the 32-bit bridge to the 16-bit font manager ATM.
 *
 * Link with libqfatm.a (mingw) or through QF-ATM.def (other linkers), or load QF-ATM.dll and
 * look the functions up by name. Every function is cdecl, exported under its plain name, and
 * returns a 32-bit signed result. Pointers are handed to ATM as they are, for the duration of
 * one call; the bridge never reads or writes through them itself. A "16-bit value" is passed in
 * a 32-bit argument of which only the low 16 bits reach ATM.
 *
 * Order of use: QFProperlyLoaded first; then the font functions, any number of times and in
 * any order, from one thread at a time; QFFinish last. After QFFinish, QFProperlyLoaded may be
 * called again.
 */
#ifndef QFATM_H
#define QFATM_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QFATM_API
#define QFATM_API __declspec(dllimport)
#endif

/* The bridge's own results. Any other result is ATM's own 16-bit result, sign-extended. */
#define QF_OK            0    /* QFFinish released the bridge */
#define QF_NO_MEMORY     (-4)
#define QF_NOT_AVAILABLE (-5)   /* loaded, but ATM does not have the function */
#define QF_NOT_LOADED    (-6)   /* not loaded (QFProperlyLoaded did not answer 1) */
#define QF_ABORTED       (-8)
#define QF_BAD_ARGUMENT  (-102)
#define QF_BUSY          (-227) /* a recording holds the bridge: QFFinish must wait */

/* Finds ATM and makes it reachable: binds the system's 32-to-16 thunk services, finds ATM's
 * module ("ATM", "ATM32" or "ATM16") and its entry points, and places the bridge's 16-bit work
 * block. 1 when ATM is there and says it is up; 0 otherwise, with everything released again.
 * Called while loaded, it binds anew and keeps the work block. */
QFATM_API int __cdecl QFProperlyLoaded(void);

/* Adds a font: ATMAddFont(4, font, value, a, b, 0). ATM's result, QF_NOT_AVAILABLE or
 * QF_NOT_LOADED. */
QFATM_API int __cdecl QFAddFont(void* font, unsigned int value, void* a, void* b);

/* Asks a font's status: the same ATMAddFont call as QFAddFont, with the final flag 1. */
QFATM_API int __cdecl QFFontStatus(void* font, unsigned int value, void* a, void* b);

/* Removes a font: ATMRemoveFont(4, font, value). ATM's result, QF_NOT_AVAILABLE or
 * QF_NOT_LOADED. */
QFATM_API int __cdecl QFRemoveFont(void* font, unsigned int value);

/* Bracket a batch of font changes. Each is forwarded to ATM as it comes: the bridge does not
 * pair them. ATM's result, QF_NOT_AVAILABLE or QF_NOT_LOADED. */
QFATM_API int __cdecl QFBeginFontChange(void);
QFATM_API int __cdecl QFEndFontChange(void);

/* ATM's 16-bit version value, zero-extended; 0 when ATM has no version function or the bridge
 * is not loaded. */
QFATM_API int __cdecl QFGetVersion(void);

/* Releases the work block and forgets ATM's entry points. QF_OK; QF_NOT_LOADED when nothing was
 * loaded; QF_BUSY while a recording holds the bridge (nothing is released then). */
QFATM_API int __cdecl QFFinish(void);

#ifdef __cplusplus
}
#endif

#endif /* QFATM_H */
