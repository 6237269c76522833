#ifndef QUORVEL_RECORD_HPP
#define QUORVEL_RECORD_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Every data record is this many bytes, line feed included.
constexpr std::size_t recordSize = 16;

// Records are gathered in a buffer of this size and handed to the output
// stream a buffer at a time.
constexpr std::size_t outSize = 16384 * recordSize;

// Puts the data record that places number at address into out, which holds
// used bytes of records not yet written; a full out is first written to
// fout. Returns false when that write failed; errno then tells why.
bool writeDataRecord(std::FILE *fout, char *out, std::size_t &used, std::uint16_t address,
                     std::uint16_t number);

// Writes the used bytes left in out to fout. Returns false when that failed.
bool flushRecords(std::FILE *fout, const char *out, std::size_t &used);

#endif
