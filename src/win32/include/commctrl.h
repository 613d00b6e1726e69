/* commctrl.h for the Linux build of Quorvel Setup: the common controls the
 * setup program uses, with the real Win32 names and numbers.
 *
 * InitCommonControls registers the progress bar class; a dialog template
 * holding a progress bar cannot be created before it has been called (the
 * dialog box then fails with -1, as on Windows).  The progress bar keeps its
 * default range, 0 to 100, a position clamped to it and a step.
 */
#ifndef QV_PLATFORM_COMMCTRL_H
#define QV_PLATFORM_COMMCTRL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PROGRESS_CLASSA "msctls_progress32"
#define PROGRESS_CLASS PROGRESS_CLASSA

#define PBM_SETPOS (WM_USER + 2)
#define PBM_SETSTEP (WM_USER + 4)

void WINAPI InitCommonControls(void);

#ifdef __cplusplus
}
#endif

#endif /* QV_PLATFORM_COMMCTRL_H */
