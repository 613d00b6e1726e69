// The Wine suite driver's pictures (wine_pictures.cpp).
#ifndef QV_TESTS_WINE_PICTURES_H
#define QV_TESTS_WINE_PICTURES_H

#include <windows.h>

#include <string>

// Ends the run as one that did not match (wine_driver.cpp).
[[noreturn]] void fail(const std::string &why);

// Where the pictures go (--shots DIR); none are kept when empty.
extern std::string shotDir;
// Keeps the window as DIR\NN-KIND.png, numbered in the order they are kept.
void keepPicture(HWND window, const char *kind);

#endif
