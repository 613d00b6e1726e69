// Identifiers of the setup program's resources.  Read by windres (through
// setup.rc), by tools/rcgen for the Linux build, and by the program itself,
// so only plain #defines belong here.

// Dialogs, in the order the wizard shows them: 4, 1, 2, 3.
#define IDD_INTRO 1
#define IDD_DIRECTORY 2
#define IDD_PROGRESS 3
#define IDD_WELCOME 4

// Controls.
#define IDC_STATIC (-1)
#define IDC_DIRECTORY 101
#define IDC_STATUS 103
#define IDC_PROGRESS 104

// Buttons, shared by every dialog; a dialog ends with the one pressed.
#define IDC_NEXT 201
#define IDC_BACK 202
#define IDC_CANCEL 203

// Strings: the package size in bytes on which percentages are based.
#define IDS_TOTAL_BYTES 1
