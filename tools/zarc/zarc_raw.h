// Raw implode streams: `zarc implode` and `zarc explode`.
#ifndef QV_TOOLS_ZARC_RAW_H
#define QV_TOOLS_ZARC_RAW_H

// argv[0] is the command's name; returns the exit status.
int zarcImplode(int argc, char **argv);
int zarcExplode(int argc, char **argv);

// Usage lines, for `zarc --help` and each command's own.
extern const char *const kZarcImplodeUsage;
extern const char *const kZarcExplodeUsage;
extern const char *const kZarcRawCommon;

#endif
