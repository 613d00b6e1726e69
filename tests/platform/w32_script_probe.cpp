// A stand-in for the setup program in the scripted front end's tests: shows
// one OK/Cancel warning box per argument, prints each result, then reports
// whether a:\mark.txt is there.
#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    int r = MessageBoxA(NULL, argv[i], "Quorvel Installation", MB_OKCANCEL | MB_ICONWARNING);
    printf("%d\n", r);
    fflush(stdout);
  }
  HFILE f = OpenFile("a:\\mark.txt", NULL, OF_READ);
  if (f != HFILE_ERROR) {
    printf("mark found\n");
    CloseHandle((HANDLE)(INT_PTR)f);
  }
  return 0;
}
