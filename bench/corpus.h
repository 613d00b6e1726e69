// Benchmark corpora built from files found on this machine.
#ifndef QV_BENCH_CORPUS_H
#define QV_BENCH_CORPUS_H

#include <stddef.h>

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Text: license texts and package copyright notices for the first half, C
// headers for the rest (those directly in /usr/include, then those below it),
// each group in sorted path order, cut to exactly minBytes.
Bytes buildTextCorpus(size_t minBytes);

// Prose: English prose with light markup, the reStructuredText sources of
// the cmake manual (/usr/share/cmake-*/Help, shipped by cmake-data, which
// every build machine has), in sorted path order, cut to at most maxBytes.
Bytes buildProseCorpus(size_t maxBytes);

// Binary: shared libraries, in sorted path order, at most 1 MiB of each,
// cut to exactly minBytes.
Bytes buildBinaryCorpus(size_t minBytes);

// Which files went into the last corpus built, for the report.
std::string corpusDescription();

#endif
