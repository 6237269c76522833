// SPDX-License-Identifier: MIT
#ifndef QUORVEL_RECORD_HPP
#define QUORVEL_RECORD_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Every data record is this many bytes, line feed included.
constexpr std::size_t recordSize = 16;

// Records are gathered in a buffer of this size, private to the writer, and
// handed to the output stream a buffer at a time. The fuzzing build makes it
// tiny, so that it fills in the middle of runs often.
#ifndef QUORVEL_OUT_RECORDS
#define QUORVEL_OUT_RECORDS 32768
#endif
constexpr std::size_t outSize = QUORVEL_OUT_RECORDS * recordSize;

// Puts the data record that places number at address into the buffer, which
// holds used bytes of records not yet written (0 at the start); a full buffer
// is first written to fout. Returns false when that write failed; errno then
// tells why.
bool writeDataRecord(std::FILE *fout, std::size_t &used, std::uint16_t address,
                     std::uint16_t number);

// Puts the records of the lines at text, at most lines of them, into the
// buffer as writeDataRecord would, from address on, for as long as they are
// clean lines (see cleanLine) and the buffer has room. Returns how many it
// put; address has moved past them.
std::size_t putCleanRecords(const char *text, std::size_t lines, std::size_t &used,
                            std::uint16_t &address);

// Writes the used bytes left in the buffer to fout. Returns false when that
// failed.
bool flushRecords(std::FILE *fout, std::size_t &used);

#endif
