// SPDX-License-Identifier: MIT
#ifndef QUORVEL_CONVERT_HPP
#define QUORVEL_CONVERT_HPP

#include <cstdio>

// Converts the listing read from fin into data records written to fout, one
// per read of the listing from address 0, and flushes fout. A UTF-8
// byte-order mark before the listing is skipped; a UTF-16 one is a read error
// (EILSEQ) before any record. fin is read
// through its descriptor, never through the stream. Before a read that could
// wait (from a pipe or a terminal, not a regular file or a disk), every record
// converted so far is written through to fout.
//
// Returns true when the whole listing reached fout. Otherwise readerror or
// writeerror holds the error number of the failure (the other is 0, unless
// both failed); a failed read ends the conversion, and the records before it
// are still written.
bool convert(std::FILE *fin, std::FILE *fout, int &readerror, int &writeerror);

// The error number a failed call left; a failure is never taken for success,
// even from a library that left errno unset.
int failure();

#endif
